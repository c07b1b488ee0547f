#include "SignInFlow.h"

#include "AuthBridge.h"
#include "BearerToken.h"
#include "DecodingError.h"
#include "TelegramAppUrl.h"
#include "URLError.h"
#include "XdgSchemeHandler.h"

#include <QNetworkInformation>
#include <QUrl>

#include <algorithm>
#include <utility>

SignInFlow::SignInFlow(AppScreen &screen, Settings settings, QObject *parent)
    : QObject(parent)
    , m_screen(screen)
    , m_settings(std::move(settings)) {
    m_profileRecheck.setSingleShot(true);
    connect(&m_profileRecheck, &QTimer::timeout, this, [this] {
        if (m_tokenUnconfirmed)
            checkProfile(false);
    });
    // Where the platform tells when the network comes back, an unconfirmed token is checked
    // again then; elsewhere the popover's opening is the only occasion.
    if (QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability)) {
        connect(QNetworkInformation::instance(), &QNetworkInformation::reachabilityChanged, this,
                [this](QNetworkInformation::Reachability reachability) {
                    if (reachability == QNetworkInformation::Reachability::Online)
                        recheckSignIn();
                });
    }
}

void SignInFlow::loadStoredToken() {
    runLoadStoredToken();
}

void SignInFlow::screenChanged() {
    if (m_screen.state().kind() != AppState::Case::notLoggedIn && m_phase != Phase::none)
        setPhase(Phase::none);
}

QCoro::Task<> SignInFlow::runLoadStoredToken() {
    QPointer<SignInFlow> self(this);
    const std::uint64_t changesBefore = m_authTokenChanges;
    QCoro::Task<std::optional<QString>> loading = m_settings.tokenStore->load();
    std::optional<QString> stored = co_await std::move(loading);
    if (!self) {
        co_return;
    }
    // A sign-in that finished while the keyring was slow to answer holds the newer token.
    // A stored value that cannot be sent as a bearer token is no sign-in.
    const bool stale = m_authTokenChanges != changesBefore;
    if (!stale && stored && isBearerToken(*stored)) {
        setAuthToken(std::move(stored));
    }
    m_storedTokenLoaded = true;
    emit storedTokenLoaded();
    if (!stale && m_authToken) {
        co_await askProfile(false, OnRefusal::keepToken);
    }
}

void SignInFlow::setAuthToken(std::optional<QString> token) {
    m_authToken = std::move(token);
    m_profile.reset();
    m_tokenUnconfirmed = false;
    ++m_authTokenChanges;
}

void SignInFlow::dropToken() {
    // Queued behind any save still under way, so the token cannot come back.
    m_settings.tokenStore->remove();
    setAuthToken(std::nullopt);
}

QCoro::Task<> SignInFlow::checkProfile(bool byRecordingFlow) {
    return askProfile(byRecordingFlow, OnRefusal::dropToken);
}

QCoro::Task<> SignInFlow::askProfile(bool byRecordingFlow, OnRefusal onRefusal) {
    // Only the recording flow leaves its own screens; a sign-in's answer never does.
    const auto mayMove = [this, byRecordingFlow] {
        return byRecordingFlow || m_screen.state().kind() == AppState::Case::notLoggedIn ||
               m_screen.state().kind() == AppState::Case::idle;
    };
    if (!m_authToken) {
        if (mayMove())
            m_screen.setState(AppState::notLoggedIn());
        co_return;
    }
    QPointer<SignInFlow> self(this);
    const QString askedWith = *m_authToken;
    const std::uint64_t changesBefore = m_authTokenChanges;
    m_sinceProfileCheck.start();
    std::optional<UserProfileVM> profile;
    bool refused = false;
    try {
        profile = co_await AuthBridge::fetchProfile(m_settings.apiBaseUrl, askedWith);
    } catch (const URLError &error) {
        refused = error.code() == URLError::Code::userAuthenticationRequired;
    } catch (const DecodingError &) {
    }
    // An answer about a token that was signed out or replaced meanwhile is stale.
    if (!self || m_authTokenChanges != changesBefore || !mayMove()) {
        co_return;
    }
    if (profile) {
        m_profile = profile;
        m_tokenUnconfirmed = false;
        m_screen.setState(AppState::idle(*profile));
        emit profileConfirmed();
    } else if (refused) {
        // Refused at launch, the stored token stays; the sign-in screen asks for a new one.
        if (onRefusal == OnRefusal::dropToken)
            dropToken();
        m_screen.setState(AppState::notLoggedIn());
    } else {
        // The service could not be asked (no network yet, or it failed): the token stays, and
        // is asked about again later. The idle screen stays if this token had been confirmed.
        m_tokenUnconfirmed = true;
        m_screen.setState(m_profile ? AppState::idle(*m_profile) : AppState::notLoggedIn());
    }
}

void SignInFlow::recheckSignIn() {
    if (!m_tokenUnconfirmed || m_screen.state().kind() != AppState::Case::notLoggedIn ||
        m_profileRecheck.isActive()) {
        return;
    }
    // At most one check per interval; one asked for sooner waits for the interval's end.
    const auto since = std::chrono::milliseconds(m_sinceProfileCheck.isValid()
                                                     ? m_sinceProfileCheck.elapsed()
                                                     : m_settings.profileRecheckInterval.count());
    m_profileRecheck.start(
        std::max(std::chrono::milliseconds(0), m_settings.profileRecheckInterval - since));
}

void SignInFlow::logout() {
    setPhase(Phase::none);
    dropToken();
    m_screen.setState(AppState::notLoggedIn());
}

void SignInFlow::startTelegramLogin() {
    runTelegramLogin();
}

void SignInFlow::setPhase(Phase phase) {
    m_phase = phase;
    // Stopped, not deleted: this may run inside the timer's own firing.
    if (phase != Phase::waiting && m_pollTimer) {
        m_pollTimer->stop();
    }
    emit changed();
}

bool SignInFlow::mayTakeToken(std::uint64_t attempt) const {
    return attempt == m_attempt && (m_phase == Phase::waiting || m_phase == Phase::ranOut);
}

QCoro::Task<> SignInFlow::runTelegramLogin() {
    if (isPollingAuth() || m_screen.state().kind() != AppState::Case::notLoggedIn) {
        co_return;
    }
    const std::uint64_t attempt = ++m_attempt;
    setPhase(Phase::starting);
    QPointer<SignInFlow> self(this);

    if (m_tokenUnconfirmed) {
        // The kept token may well be good: asked about first, so that a sign-in made while
        // offline does not cost a new token.
        co_await checkProfile(false);
        if (!self || attempt != m_attempt || m_phase != Phase::starting)
            co_return;
    }

    std::optional<AppLoginResponse> answer;
    // A failed start shows nothing: the button comes back and the user may press it again.
    try {
        answer = co_await AuthBridge::startAppLogin(m_settings.apiBaseUrl);
    } catch (const URLError &) {
    } catch (const DecodingError &) {
    }
    if (!self || attempt != m_attempt || m_phase != Phase::starting) {
        co_return;
    }
    if (!answer) {
        setPhase(Phase::none);
        co_return;
    }

    // The desktop would open anything it has a handler for (file:, smb:, custom schemes): only
    // web links and Telegram's resolve links come from a sign-in.
    const QUrl asSent(answer->botUrl, QUrl::StrictMode);
    const QString scheme = asSent.scheme().toLower();
    const bool usable = asSent.isValid() && !asSent.isRelative();
    std::optional<QUrl> appLink = telegramAppURL(answer->botUrl);
    std::optional<QUrl> webLink;
    if (usable && (scheme == QLatin1String("https") || scheme == QLatin1String("http")))
        webLink = asSent;
    if (usable && scheme == QLatin1String("tg") && asSent.host() == QLatin1String("resolve"))
        appLink = asSent;
    // Telegram's application where the desktop has one; otherwise the web link, which a
    // browser shows with a way into Telegram. Polling starts even without a link: the wait
    // then simply runs out.
    const bool appOpened = appLink && hasXdgSchemeHandler(QStringLiteral("tg")) &&
                           m_settings.linkOpener->open(*appLink);
    if (!appOpened && webLink)
        m_settings.linkOpener->open(*webLink);
    // However long the service lets the nonce live, the wait ends within the limit.
    const std::int64_t maxPolls = std::min<std::int64_t>(
        answer->expiresInSeconds / 2, m_settings.signInWaitLimit / m_settings.pollInterval);
    startPolling(attempt, answer->nonce, maxPolls);
}

void SignInFlow::startPolling(std::uint64_t attempt, QString nonce, std::int64_t maxPolls) {
    m_pollTimer.reset();

    auto timer = std::make_unique<QTimer>();
    timer->setInterval(m_settings.pollInterval);
    timer->setTimerType(Qt::PreciseTimer);
    QTimer *const raw = timer.get();
    // The counter lives in the connection, so it belongs to this timer and dies with it.
    connect(raw, &QTimer::timeout, raw,
            [self = QPointer<SignInFlow>(this), attempt, baseUrl = m_settings.apiBaseUrl,
             nonce = std::move(nonce), maxPolls, counter = std::int64_t{0}]() mutable {
                const std::int64_t n = counter++;
                // Firings do not wait for each other: a slow poll may overlap the next one.
                pollOnce(self, attempt, baseUrl, nonce, maxPolls, n);
            });
    m_pollTimer = std::move(timer);
    setPhase(Phase::waiting);
    m_pollTimer->start();
}

QCoro::Task<> SignInFlow::pollOnce(QPointer<SignInFlow> self, std::uint64_t attempt,
                                   QString baseUrl, QString nonce, std::int64_t maxPolls,
                                   std::int64_t n) {
    if (!self || attempt != self->m_attempt || self->m_phase != Phase::waiting) {
        co_return;
    }
    if (n >= maxPolls) {
        self->setPhase(Phase::ranOut);
        co_return;
    }

    std::optional<QString> token;
    // A failed poll is only a missed chance; the next firing asks again.
    try {
        token = co_await AuthBridge::pollAppLogin(baseUrl, nonce);
    } catch (const URLError &) {
    } catch (const DecodingError &) {
    }
    // A token that would break the header counts as none: the wait goes on. So does an answer
    // for an attempt that ended or was replaced, or that another poll has already completed.
    if (!self || !token || !isBearerToken(*token) || !self->mayTakeToken(attempt)) {
        co_return;
    }
    self->setPhase(Phase::completing);
    QCoro::Task<> saving = self->m_settings.tokenStore->save(*token);
    co_await std::move(saving);
    if (!self) {
        co_return;
    }
    if (attempt != self->m_attempt || self->m_phase != Phase::completing) {
        // The attempt ended while the token was being saved (a sign-out, or the stored token
        // was confirmed): the store gets back what the program holds.
        if (self->m_authToken)
            self->m_settings.tokenStore->save(*self->m_authToken);
        else
            self->m_settings.tokenStore->remove();
        co_return;
    }
    self->setAuthToken(*token);
    co_await self->checkProfile(false);
    if (self && attempt == self->m_attempt && self->m_phase == Phase::completing) {
        self->setPhase(Phase::none);
    }
}
