#include "AppViewModel.h"

#include "ApiBaseUrl.h"
#include "AuthBridge.h"
#include "DecodingError.h"
#include "DesktopLinkOpener.h"
#include "KeyringTokenStore.h"
#include "TelegramAppUrl.h"
#include "URLError.h"

#include <QUrl>

#include <utility>

AppViewModel::AppViewModel(QObject *parent)
    : AppViewModel(Seams{ApiBaseUrl::fromBuild(), std::make_shared<KeyringTokenStore>(),
                         std::make_shared<DesktopLinkOpener>(), productionPollInterval},
                   parent) {}

AppViewModel::AppViewModel(Seams seams, QObject *parent)
    : QObject(parent)
    , m_apiBaseURL(std::move(seams.apiBaseUrl))
    , m_tokenStore(std::move(seams.tokenStore))
    , m_linkOpener(std::move(seams.linkOpener))
    , m_pollInterval(seams.pollInterval) {
    m_authToken = m_tokenStore->load();
    if (m_authToken) {
        // Runs on by itself; the state stays notLoggedIn until the service answers.
        refreshProfile();
    }
}

AppViewModel::~AppViewModel() = default;

QCoro::Task<> AppViewModel::refreshProfile() {
    if (!m_authToken) {
        setState(AppState::notLoggedIn());
        co_return;
    }
    QPointer<AppViewModel> self(this);
    std::optional<UserProfileVM> profile;
    // A refused token or an unreachable service only means signed out for now: the token
    // stays, in memory and in the store, until a new sign-in replaces it.
    try {
        profile = co_await AuthBridge::fetchProfile(m_apiBaseURL, *m_authToken);
    } catch (const URLError &) {
    } catch (const DecodingError &) {
    }
    if (!self) {
        co_return;
    }
    setState(profile ? AppState::idle(*profile) : AppState::notLoggedIn());
}

void AppViewModel::logout() {
    m_tokenStore->remove();
    m_authToken.reset();
    setState(AppState::notLoggedIn());
}

void AppViewModel::startTelegramLogin() {
    runTelegramLogin();
}

void AppViewModel::setState(AppState state) {
    m_state = std::move(state);
    emit changed();
}

void AppViewModel::setAuthTimedOut(bool value) {
    m_authTimedOut = value;
    emit changed();
}

void AppViewModel::setPollingAuth(bool value) {
    m_isPollingAuth = value;
    emit changed();
}

QCoro::Task<> AppViewModel::runTelegramLogin() {
    if (m_isPollingAuth) {
        co_return;
    }
    setAuthTimedOut(false);
    setPollingAuth(true);

    QPointer<AppViewModel> self(this);
    std::optional<AppLoginResponse> answer;
    // A failed start shows nothing: the button comes back and the user may press it again.
    try {
        answer = co_await AuthBridge::startAppLogin(m_apiBaseURL);
    } catch (const URLError &) {
    } catch (const DecodingError &) {
    }
    if (!self) {
        co_return;
    }
    if (!answer) {
        setPollingAuth(false);
        co_return;
    }

    std::optional<QUrl> link = telegramAppURL(answer->botUrl);
    if (!link) {
        const QUrl asSent(answer->botUrl, QUrl::StrictMode);
        if (asSent.isValid() && !asSent.isRelative()) {
            link = asSent;
        }
    }
    // Polling starts even without a link or without Telegram: the wait then simply runs out.
    if (link) {
        m_linkOpener->open(*link);
    }
    startPolling(answer->nonce, answer->expiresInSeconds / 2);
}

void AppViewModel::startPolling(QString nonce, std::int64_t maxPolls) {
    m_pollTimer.reset();

    auto timer = std::make_unique<QTimer>();
    timer->setInterval(m_pollInterval);
    timer->setTimerType(Qt::PreciseTimer);
    QTimer *const raw = timer.get();
    // The counter lives in the connection, so it belongs to this timer and dies with it.
    connect(raw, &QTimer::timeout, raw,
            [self = QPointer<AppViewModel>(this), timer = QPointer<QTimer>(raw),
             baseUrl = m_apiBaseURL, nonce = std::move(nonce), maxPolls,
             counter = std::int64_t{0}]() mutable {
                const std::int64_t n = counter++;
                // Firings do not wait for each other: a slow poll may overlap the next one.
                pollOnce(self, timer, baseUrl, nonce, maxPolls, n);
            });
    m_pollTimer = std::move(timer);
    m_pollTimer->start();
}

QCoro::Task<> AppViewModel::pollOnce(QPointer<AppViewModel> self, QPointer<QTimer> timer,
                                     QString baseUrl, QString nonce, std::int64_t maxPolls,
                                     std::int64_t n) {
    if (!self) {
        co_return;
    }
    if (n >= maxPolls) {
        if (timer) {
            timer->stop();
        }
        self->setAuthTimedOut(true);
        self->setPollingAuth(false);
        co_return;
    }

    std::optional<QString> token;
    // A failed poll is only a missed chance; the next firing asks again.
    try {
        token = co_await AuthBridge::pollAppLogin(baseUrl, nonce);
    } catch (const URLError &) {
    } catch (const DecodingError &) {
    }
    if (!self || !token) {
        co_return;
    }
    if (timer) {
        timer->stop();
    }
    co_await self->completeLogin(*token);
    if (!self) {
        co_return;
    }
    self->setPollingAuth(false);
}

QCoro::Task<> AppViewModel::completeLogin(QString token) {
    setAuthTimedOut(false);
    m_tokenStore->save(token);
    m_authToken = token;
    co_await refreshProfile();
}
