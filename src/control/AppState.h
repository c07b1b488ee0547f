#pragma once
// What the popover shows: one of five cases, each with the data its screen needs.

#include "WireRecords.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <optional>
#include <variant>

class AppState {
    Q_GADGET

public:
    // Same order as the alternatives of Value.
    enum class Case { idle, recording, uploadError, notLoggedIn, uploading };
    Q_ENUM(Case)

    struct Idle {
        UserProfileVM profile;
        friend bool operator==(const Idle &, const Idle &) = default;
    };
    struct Recording {
        UserProfileVM profile;
        QDateTime startTime; // wall clock, UTC
        friend bool operator==(const Recording &, const Recording &) = default;
    };
    struct UploadError {
        QString text;
        friend bool operator==(const UploadError &, const UploadError &) = default;
    };
    struct NotLoggedIn {
        QString notice; // why the user is asked to sign in again; usually empty
        friend bool operator==(const NotLoggedIn &, const NotLoggedIn &) = default;
    };
    struct Uploading {
        friend bool operator==(const Uploading &, const Uploading &) = default;
    };
    using Value = std::variant<Idle, Recording, UploadError, NotLoggedIn, Uploading>;

    AppState() = default; // notLoggedIn
    explicit AppState(Value value)
        : m_value(std::move(value)) {}

    static AppState idle(UserProfileVM profile) { return AppState(Idle{std::move(profile)}); }
    static AppState recording(UserProfileVM profile, QDateTime startTime) {
        return AppState(Recording{std::move(profile), std::move(startTime)});
    }
    static AppState uploadError(QString text) { return AppState(UploadError{std::move(text)}); }
    static AppState notLoggedIn(QString notice = {}) {
        return AppState(NotLoggedIn{std::move(notice)});
    }
    static AppState uploading() { return AppState(Uploading{}); }

    [[nodiscard]] Case kind() const noexcept;
    [[nodiscard]] const Value &value() const noexcept { return m_value; }

    // The profile of idle and recording; nothing in the other cases.
    [[nodiscard]] std::optional<UserProfileVM> profile() const;
    // The start of a recording; an invalid time in the other cases.
    [[nodiscard]] QDateTime startTime() const;
    // The text of uploadError, or the notice of notLoggedIn; empty in the other cases.
    [[nodiscard]] QString errorText() const;

    friend bool operator==(const AppState &, const AppState &) = default;

private:
    Value m_value{NotLoggedIn{}};
};
