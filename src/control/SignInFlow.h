#pragma once
// The sign-in: the stored token at start-up, a Telegram sign-in and its polls, the check of a
// token's profile and its recheck, and the sign-out.

#include "AppScreen.h"
#include "LinkOpener.h"
#include "TokenStore.h"
#include "WireRecords.h"

#include <QCoroTask>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

class SignInFlow : public QObject {
    Q_OBJECT

public:
    struct Settings {
        QString apiBaseUrl;
        std::shared_ptr<TokenStore> tokenStore;
        std::shared_ptr<LinkOpener> linkOpener;
        std::chrono::milliseconds pollInterval;
        std::chrono::milliseconds signInWaitLimit;
        std::chrono::milliseconds profileRecheckInterval;
    };

    SignInFlow(AppScreen &screen, Settings settings, QObject *parent = nullptr);

    // Reads the stored token and checks its profile, as a task of its own: the keyring may
    // take its time, and the screen stays notLoggedIn until the service has answered.
    void loadStoredToken();

    [[nodiscard]] const QString &apiBaseURL() const noexcept { return m_settings.apiBaseUrl; }
    [[nodiscard]] const std::optional<QString> &authToken() const noexcept { return m_authToken; }
    // The profile the service gave for the token; the account recordings belong to.
    [[nodiscard]] const std::optional<UserProfileVM> &profile() const noexcept { return m_profile; }
    [[nodiscard]] std::chrono::milliseconds pollInterval() const noexcept {
        return m_settings.pollInterval;
    }
    [[nodiscard]] bool hasLoadedStoredToken() const noexcept { return m_storedTokenLoaded; }
    // The sign-in's wait ran out (a token that still arrives signs in all the same).
    [[nodiscard]] bool authTimedOut() const noexcept { return m_phase == Phase::ranOut; }
    // A sign-in is under way, from its start until the check of its token is done.
    [[nodiscard]] bool isPollingAuth() const noexcept {
        return m_phase == Phase::starting || m_phase == Phase::waiting ||
               m_phase == Phase::completing;
    }

    // byRecordingFlow: the recording flow ends its operation with it, and may leave its own
    // screens (uploading, uploadError) for idle; a sign-in's answer never does.
    QCoro::Task<> checkProfile(bool byRecordingFlow);
    void recheckSignIn();
    void logout();
    // Starts a Telegram sign-in as its own task, unless one is under way.
    void startTelegramLogin();
    // From memory and from the store.
    void dropToken();
    // The screens changed: a sign-in attempt belongs to the sign-in screen, and however the
    // program leaves it, the attempt ends there and no later answer of it may take a token.
    void screenChanged();

signals:
    // The sign-in's flags changed.
    void changed();
    void storedTokenLoaded();
    // The service confirmed the token's profile, and the idle screen shows it.
    void profileConfirmed();

private:
    // Where the latest sign-in attempt stands; only setPhase() changes it, and the screens'
    // flags are read from it. Polls overlap and may answer late: each carries its attempt's
    // number, and only the current attempt, while it waits or has just run out, may take a
    // token. An attempt ends (none) when its start fails, when its token has been checked, on
    // a sign-out, and whenever the state leaves notLoggedIn by any route.
    enum class Phase {
        none,       // no attempt under way; answers of an ended attempt change nothing
        starting,   // a kept token's check or the start request is under way
        waiting,    // the poll timer runs
        ranOut,     // the polls ran out (authTimedOut); a late token still signs in
        completing, // a token arrived: stored, then the profile check
    };

    // What a refusal (401, 403) of the token asked about does to it.
    enum class OnRefusal {
        dropToken, // a token the service no longer takes is gone from memory and the store
        keepToken, // the stored token at launch: kept until a new sign-in replaces it
    };

    QCoro::Task<> askProfile(bool byRecordingFlow, OnRefusal onRefusal);
    void setPhase(Phase phase);
    // Every change of the token in memory goes through here, so that answers about an older
    // token can tell they are stale.
    void setAuthToken(std::optional<QString> token);
    QCoro::Task<> runLoadStoredToken();
    QCoro::Task<> runTelegramLogin();
    void startPolling(std::uint64_t attempt, QString nonce, std::int64_t maxPolls);
    static QCoro::Task<> pollOnce(QPointer<SignInFlow> self, std::uint64_t attempt, QString baseUrl,
                                  QString nonce, std::int64_t maxPolls, std::int64_t n);
    [[nodiscard]] bool mayTakeToken(std::uint64_t attempt) const;

    AppScreen &m_screen;
    const Settings m_settings;
    std::optional<QString> m_authToken;
    std::optional<UserProfileVM> m_profile;
    // m_authToken is kept although the service could not be asked about it.
    bool m_tokenUnconfirmed = false;
    QElapsedTimer m_sinceProfileCheck;
    QTimer m_profileRecheck;
    std::uint64_t m_authTokenChanges = 0;
    bool m_storedTokenLoaded = false;
    Phase m_phase = Phase::none;
    std::uint64_t m_attempt = 0;
    std::unique_ptr<QTimer> m_pollTimer;
};
