#pragma once
// The service client: stateless requests to the Tolvex service and the token store.
//
// Every request takes the base URL (and the token where needed) from its caller and keeps
// nothing between calls. Failures are thrown: URLError, DecodingError, FileReadError.
// Requests must be started and awaited on the GUI thread.

#include "WireRecords.h"

#include <QCoroTask>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace AuthBridge {

QCoro::Task<AppLoginResponse> startAppLogin(QString baseUrl);
// The access token once the sign-in is complete, nothing while it is pending.
QCoro::Task<std::optional<QString>> pollAppLogin(QString baseUrl, QString nonce);
QCoro::Task<UserProfileVM> fetchProfile(QString baseUrl, QString token);
QCoro::Task<MeetingCreateResult> createMeeting(QString baseUrl, QString token);

// Called with (bytes sent, total bytes) while the body goes out.
using UploadProgress = std::function<void(std::int64_t sent, std::int64_t total)>;
QCoro::Task<> uploadAudio(QString baseUrl, QString token, std::int64_t meetingId, QString filePath,
                          UploadProgress progress = {});

// Token store on the Secret Service. No operation reports an error. Each service origin has its
// own item: an empty origin is the released service's item, any other ("http://127.0.0.1:8765")
// sees only the token stored for it. Blocking: they wait as long as the keyring does.
std::optional<QString> loadToken(const QString &origin = {});
void saveToken(const QString &token, const QString &origin = {});
void deleteToken(const QString &origin = {});

// Inactivity limit of every transfer; 60 s unless a test shortens it.
std::chrono::milliseconds transferTimeout();
void setTransferTimeout(std::chrono::milliseconds timeout);

} // namespace AuthBridge
