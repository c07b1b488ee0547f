#pragma once
// The service's JSON answers, decoded through one explicit key table per record.
// Each decode() throws DecodingError and never returns a record in part.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

// Answer to POST /auth/app-login/start.
struct AppLoginResponse {
    QString nonce;
    QString botUrl;
    std::int64_t expiresInSeconds = 0;

    static AppLoginResponse decode(const QByteArray &body);
};

// Answer to GET /auth/me.
struct UserProfileVM {
    std::int64_t id = 0;
    std::optional<QString> telegramUsername;

    static UserProfileVM decode(const QByteArray &body);
    friend bool operator==(const UserProfileVM &, const UserProfileVM &) = default;
};

// Answer to POST /meetings.
struct MeetingCreateResult {
    std::int64_t id = 0;
    QString status;

    static MeetingCreateResult decode(const QByteArray &body);
};

namespace AuthBridge {
// Answer to GET /auth/app-login/poll/<nonce>; only the poll operation sees it.
struct PollResponse {
    QString status;
    std::optional<QString> token;

    static PollResponse decode(const QByteArray &body);
};
} // namespace AuthBridge
