#include "AppViewModel.h"

#include "ApiBaseUrl.h"
#include "AudioDecoder.h"
#include "AudioFileError.h"
#include "AudioFiles.h"
#include "AudioRecorder.h"
#include "AudioRecorderError.h"
#include "AuthBridge.h"
#include "BearerToken.h"
#include "DecodingError.h"
#include "DesktopLinkOpener.h"
#include "FileReadError.h"
#include "KeyringTokenStore.h"
#include "TelegramAppUrl.h"
#include "URLError.h"
#include "UnsentRecordingText.h"
#include "XdgSchemeHandler.h"

#include <QCoroSignal>
#include <QFile>
#include <QFileInfo>
#include <QNetworkInformation>
#include <QUrl>

#include <algorithm>
#include <type_traits>
#include <utility>
#include <variant>

namespace {

const QString recordingNotFoundText = QStringLiteral("Файл записи не найден");
const QString unreadablePartText =
    QStringLiteral("Часть записи сейчас не читается; она сохранена. Нажмите «Повторить загрузку», "
                   "чтобы попробовать снова");

QString lossText(const RecordedAudio &audio) {
    if (audio.loss == RecordedAudio::Loss::mixFailed) {
        return QStringLiteral("Не удалось свести дорожки записи. Освободите место на диске и "
                              "нажмите «Повторить загрузку»");
    }
    const QString sendAnyway =
        QStringLiteral("Нажмите «Повторить загрузку», чтобы отправить то, что записано");
    QStringList lostToFullDisk;
    // Whole seconds, rounded up: a lost half second is not "0 с".
    const auto seconds = [](std::chrono::milliseconds lost) { return (lost.count() + 999) / 1000; };
    if (audio.systemLostToFullDisk.count() > 0)
        lostToFullDisk
            << QStringLiteral("%1 с звука компьютера").arg(seconds(audio.systemLostToFullDisk));
    if (audio.microphoneLostToFullDisk.count() > 0)
        lostToFullDisk
            << QStringLiteral("%1 с микрофона").arg(seconds(audio.microphoneLostToFullDisk));
    if (!lostToFullDisk.isEmpty()) {
        return QStringLiteral("Диск был заполнен: потеряно ") +
               lostToFullDisk.join(QStringLiteral(" и ")) + QStringLiteral(". ") + sendAnyway;
    }
    QString what = QStringLiteral("Запись прервалась");
    if (audio.affectedTrack == CaptureTrack::system)
        what = QStringLiteral("Запись системного звука прервалась");
    else if (audio.affectedTrack == CaptureTrack::microphone)
        what = QStringLiteral("Запись микрофона прервалась");
    return what + QStringLiteral(", часть звука не сохранилась. ") + sendAnyway;
}

// What a step without a value gives when it succeeds. (Not std::monostate: QCoro keeps its
// results in a variant whose monostate means "no result yet", and would never resume.)
struct Done {};

const QString signInExpiredText =
    QStringLiteral("Вход истёк. Войдите снова — запись сохранена и отправится после входа.");

// Why a step of the recording flow failed: the text the user is shown, and whether the service
// refused the token.
struct Failure {
    QString text;
    bool tokenRefused = false;
};

// A step of the recording flow either gives its value or its failure.
template <typename T>
using StepOutcome = std::variant<std::conditional_t<std::is_void_v<T>, Done, T>, Failure>;

// Starts the recorder on recording `id` in `folder`. Without a folder it is the private one,
// whose refusal (a planted link, another user's folder) fails the start with its own text.
QCoro::Task<> startIn(Recorder *recorder, QString folder, QString id) {
    if (folder.isEmpty())
        folder = AudioFiles::privateFolder();
    co_await recorder->startRecording(RecordingFiles(std::move(folder), std::move(id)));
}

template <typename T> QCoro::Task<StepOutcome<T>> attempt(QCoro::Task<T> step) {
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(step);
            co_return Done{};
        } else {
            co_return co_await std::move(step);
        }
    } catch (const URLError &error) {
        co_return Failure{error.localizedDescription(),
                          error.code() == URLError::Code::userAuthenticationRequired};
    } catch (const DecodingError &error) {
        co_return Failure{error.localizedDescription()};
    } catch (const FileReadError &error) {
        co_return Failure{error.localizedDescription()};
    } catch (const AudioRecorderError &error) {
        co_return Failure{error.localizedDescription()};
    } catch (const AudioFileError &error) {
        co_return Failure{error.localizedDescription()};
    } catch (const std::exception &) {
        // Anything else still ends on the error screen, where the recording can be retried,
        // rather than in a flow that never finishes.
        co_return Failure{QStringLiteral("Непредвиденная ошибка. Попробуйте ещё раз")};
    }
}

template <typename T> const Failure *failureOf(const StepOutcome<T> &outcome) {
    return std::get_if<Failure>(&outcome);
}

} // namespace

AppViewModel::AppViewModel(QObject *parent, bool recoversUnsent)
    : AppViewModel(Seams{.apiBaseUrl = ApiBaseUrl::fromBuild(),
                         .tokenStore = std::make_shared<KeyringTokenStore>(
                             ApiBaseUrl::tokenOrigin(ApiBaseUrl::fromBuild())),
                         .linkOpener = std::make_shared<DesktopLinkOpener>(),
                         .recoversUnsent = recoversUnsent},
                   parent) {}

AppViewModel::AppViewModel(Seams seams, QObject *parent)
    : QObject(parent)
    , m_apiBaseURL(std::move(seams.apiBaseUrl))
    , m_tokenStore(std::move(seams.tokenStore))
    , m_linkOpener(std::move(seams.linkOpener))
    , m_pollInterval(seams.pollInterval)
    , m_signInWaitLimit(seams.signInWaitLimit)
    , m_profileRecheckInterval(seams.profileRecheckInterval)
    , m_quitWaitLimit(seams.quitWaitLimit)
    , m_recorder(seams.recorder ? seams.recorder : &AudioRecorder::shared()) {
    m_recordingsFolder = std::move(seams.recordingsFolder);
    m_recoversUnsent = seams.recoversUnsent;
    m_progressAnnouncer.setSingleShot(true);
    connect(&m_progressAnnouncer, &QTimer::timeout, this, &AppViewModel::announceUploadProgress);
    // The recorder may outlive this view model; a later one takes the listener over.
    m_recorder->setNoticesListener([self = QPointer<AppViewModel>(this)] {
        if (self)
            emit self->recordingNoticeChanged();
    });
    m_profileRecheck.setSingleShot(true);
    connect(&m_profileRecheck, &QTimer::timeout, this, [this] {
        if (m_tokenUnconfirmed)
            refreshProfile();
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
    // Runs on by itself: the keyring may take its time, and the state stays notLoggedIn until
    // the token is read and the service has answered about it.
    loadStoredToken();
}

AppViewModel::~AppViewModel() = default;

QCoro::Task<> AppViewModel::loadStoredToken() {
    QPointer<AppViewModel> self(this);
    const std::uint64_t changesBefore = m_authTokenChanges;
    QCoro::Task<std::optional<QString>> loading = m_tokenStore->load();
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
        co_await refreshProfile();
    }
}

void AppViewModel::setAuthToken(std::optional<QString> token) {
    m_authToken = std::move(token);
    m_profile.reset();
    m_tokenUnconfirmed = false;
    ++m_authTokenChanges;
}

void AppViewModel::dropToken() {
    // Queued behind any save still under way, so the token cannot come back.
    m_tokenStore->remove();
    setAuthToken(std::nullopt);
}

QCoro::Task<> AppViewModel::refreshProfile() {
    return checkProfile(false);
}

QCoro::Task<> AppViewModel::checkProfile(bool byRecordingFlow) {
    // Only the recording flow leaves its own screens; a sign-in's answer never does.
    const auto mayMove = [this, byRecordingFlow] {
        return byRecordingFlow || m_state.kind() == AppState::Case::notLoggedIn ||
               m_state.kind() == AppState::Case::idle;
    };
    if (!m_authToken) {
        if (mayMove())
            setState(AppState::notLoggedIn());
        co_return;
    }
    QPointer<AppViewModel> self(this);
    const QString askedWith = *m_authToken;
    const std::uint64_t changesBefore = m_authTokenChanges;
    m_sinceProfileCheck.start();
    std::optional<UserProfileVM> profile;
    bool refused = false;
    try {
        profile = co_await AuthBridge::fetchProfile(m_apiBaseURL, askedWith);
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
        setState(AppState::idle(*profile));
        offerUnsentRecordings();
    } else if (refused) {
        dropToken();
        setState(AppState::notLoggedIn());
    } else {
        // The service could not be asked (no network yet, or it failed): the token stays, and
        // is asked about again later. The idle screen stays if this token had been confirmed.
        m_tokenUnconfirmed = true;
        setState(m_profile ? AppState::idle(*m_profile) : AppState::notLoggedIn());
    }
}

void AppViewModel::recheckSignIn() {
    if (!m_tokenUnconfirmed || m_state.kind() != AppState::Case::notLoggedIn ||
        m_profileRecheck.isActive()) {
        return;
    }
    // At most one check per interval; one asked for sooner waits for the interval's end.
    const auto since =
        std::chrono::milliseconds(m_sinceProfileCheck.isValid() ? m_sinceProfileCheck.elapsed()
                                                                : m_profileRecheckInterval.count());
    m_profileRecheck.start(
        std::max(std::chrono::milliseconds(0), m_profileRecheckInterval - since));
}

void AppViewModel::logout() {
    setSignInPhase(SignInPhase::none);
    dropToken();
    setState(AppState::notLoggedIn());
}

void AppViewModel::startTelegramLogin() {
    runTelegramLogin();
}

void AppViewModel::setState(AppState state) {
    m_state = std::move(state);
    // A sign-in attempt belongs to the sign-in screen: however the program leaves it, the
    // attempt ends there, and no later answer of it may take a token.
    if (m_state.kind() != AppState::Case::notLoggedIn && m_signInPhase != SignInPhase::none)
        setSignInPhase(SignInPhase::none);
    emit changed();
}

void AppViewModel::setSignInPhase(SignInPhase phase) {
    m_signInPhase = phase;
    // Stopped, not deleted: this may run inside the timer's own firing.
    if (phase != SignInPhase::waiting && m_pollTimer) {
        m_pollTimer->stop();
    }
    emit changed();
}

bool AppViewModel::mayTakeToken(std::uint64_t attempt) const {
    return attempt == m_signInAttempt &&
           (m_signInPhase == SignInPhase::waiting || m_signInPhase == SignInPhase::ranOut);
}

QCoro::Task<> AppViewModel::runTelegramLogin() {
    if (isPollingAuth() || m_state.kind() != AppState::Case::notLoggedIn) {
        co_return;
    }
    const std::uint64_t attempt = ++m_signInAttempt;
    setSignInPhase(SignInPhase::starting);
    QPointer<AppViewModel> self(this);

    if (m_tokenUnconfirmed) {
        // The kept token may well be good: asked about first, so that a sign-in made while
        // offline does not cost a new token.
        co_await refreshProfile();
        if (!self || attempt != m_signInAttempt || m_signInPhase != SignInPhase::starting)
            co_return;
    }

    std::optional<AppLoginResponse> answer;
    // A failed start shows nothing: the button comes back and the user may press it again.
    try {
        answer = co_await AuthBridge::startAppLogin(m_apiBaseURL);
    } catch (const URLError &) {
    } catch (const DecodingError &) {
    }
    if (!self || attempt != m_signInAttempt || m_signInPhase != SignInPhase::starting) {
        co_return;
    }
    if (!answer) {
        setSignInPhase(SignInPhase::none);
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
    const bool appOpened =
        appLink && hasXdgSchemeHandler(QStringLiteral("tg")) && m_linkOpener->open(*appLink);
    if (!appOpened && webLink)
        m_linkOpener->open(*webLink);
    // However long the service lets the nonce live, the wait ends within the limit.
    const std::int64_t maxPolls =
        std::min<std::int64_t>(answer->expiresInSeconds / 2, m_signInWaitLimit / m_pollInterval);
    startPolling(attempt, answer->nonce, maxPolls);
}

void AppViewModel::startPolling(std::uint64_t attempt, QString nonce, std::int64_t maxPolls) {
    m_pollTimer.reset();

    auto timer = std::make_unique<QTimer>();
    timer->setInterval(m_pollInterval);
    timer->setTimerType(Qt::PreciseTimer);
    QTimer *const raw = timer.get();
    // The counter lives in the connection, so it belongs to this timer and dies with it.
    connect(raw, &QTimer::timeout, raw,
            [self = QPointer<AppViewModel>(this), attempt, baseUrl = m_apiBaseURL,
             nonce = std::move(nonce), maxPolls, counter = std::int64_t{0}]() mutable {
                const std::int64_t n = counter++;
                // Firings do not wait for each other: a slow poll may overlap the next one.
                pollOnce(self, attempt, baseUrl, nonce, maxPolls, n);
            });
    m_pollTimer = std::move(timer);
    setSignInPhase(SignInPhase::waiting);
    m_pollTimer->start();
}

QCoro::Task<> AppViewModel::pollOnce(QPointer<AppViewModel> self, std::uint64_t attempt,
                                     QString baseUrl, QString nonce, std::int64_t maxPolls,
                                     std::int64_t n) {
    if (!self || attempt != self->m_signInAttempt || self->m_signInPhase != SignInPhase::waiting) {
        co_return;
    }
    if (n >= maxPolls) {
        self->setSignInPhase(SignInPhase::ranOut);
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
    self->setSignInPhase(SignInPhase::completing);
    QCoro::Task<> saving = self->m_tokenStore->save(*token);
    co_await std::move(saving);
    if (!self) {
        co_return;
    }
    if (attempt != self->m_signInAttempt || self->m_signInPhase != SignInPhase::completing) {
        // The attempt ended while the token was being saved (a sign-out, or the stored token
        // was confirmed): the store gets back what the program holds.
        if (self->m_authToken)
            self->m_tokenStore->save(*self->m_authToken);
        else
            self->m_tokenStore->remove();
        co_return;
    }
    self->setAuthToken(*token);
    co_await self->refreshProfile();
    if (self && attempt == self->m_signInAttempt &&
        self->m_signInPhase == SignInPhase::completing) {
        self->setSignInPhase(SignInPhase::none);
    }
}

// The recording flow.

void AppViewModel::beginRecording() {
    runExclusive(Activity::starting, &AppViewModel::beginRecordingSteps);
}

void AppViewModel::finishRecording() {
    runExclusive(Activity::stopping, &AppViewModel::finishRecordingSteps);
}

void AppViewModel::uploadRecording() {
    runExclusive(Activity::uploading, &AppViewModel::uploadRecordingSteps);
}

void AppViewModel::retryUpload() {
    runExclusive(Activity::retrying, &AppViewModel::retryUploadSteps);
}

void AppViewModel::cancelUpload() {
    runExclusive(Activity::cancelling, &AppViewModel::cancelUploadSteps);
}

void AppViewModel::setActivity(Activity activity) {
    m_activity = activity;
    emit changed();
}

QCoro::Task<> AppViewModel::runExclusive(Activity activity, Steps steps) {
    // The screens disable their buttons while busy; this also stops a second click that
    // arrives before the screen has redrawn.
    if (m_activity != Activity::none)
        co_return;
    QPointer<AppViewModel> self(this);
    setActivity(activity);
    co_await (this->*steps)();
    if (!self)
        co_return;
    setActivity(Activity::none);
    // An operation that ends in idle (an upload, a cancel) makes way for the next unsent
    // recording. A recovery that found nothing to offer does not look again.
    if (activity != Activity::recovering)
        offerUnsentRecordings();
}

QCoro::Task<> AppViewModel::beginRecordingSteps() {
    const auto *idle = std::get_if<AppState::Idle>(&m_state.value());
    if (!idle || !m_authToken)
        co_return;
    const UserProfileVM profile = idle->profile;
    QPointer<AppViewModel> self(this);

    auto meeting = co_await attempt(AuthBridge::createMeeting(m_apiBaseURL, *m_authToken));
    if (!self)
        co_return;
    if (const Failure *failure = failureOf<MeetingCreateResult>(meeting)) {
        m_pendingMeetingId.reset();
        fail(failure->text, failure->tokenRefused);
        co_return;
    }
    m_pendingMeetingId = std::get<MeetingCreateResult>(meeting).id;
    RecordingManifest manifest;
    manifest.userId = profile.id;
    manifest.apiBaseUrl = m_apiBaseURL;
    manifest.id = RecordingFiles::newId();
    manifest.meetingId = m_pendingMeetingId;
    manifest.startTime = QDateTime::currentDateTimeUtc();
    const std::optional<RecordingArchive> folder = archive();
    if (folder)
        m_recording = std::make_unique<RecordingOnDisk>(*folder, manifest);

    // Named first: GCC 12 destroys a temporary made by ?: inside co_await twice.
    const QString folderPath = folder ? folder->folder() : QString();
    auto started = co_await attempt(startIn(m_recorder, folderPath, manifest.id));
    if (!self)
        co_return;
    if (const Failure *failure = failureOf<void>(started)) {
        // The meeting stays on the service; nothing here can take it back.
        forgetRecording();
        m_pendingMeetingId.reset();
        setState(AppState::uploadError(failure->text));
        co_return;
    }
    if (m_recording)
        m_recording->capturing();
    setState(AppState::recording(profile, manifest.startTime));
}

QCoro::Task<> AppViewModel::finishRecordingSteps() {
    if (m_state.kind() != AppState::Case::recording)
        co_return;
    QPointer<AppViewModel> self(this);
    // The upload screen shows while the recorder finishes and mixes, which takes a while.
    setUploadProgress(unknownProgress);
    setState(AppState::uploading());

    std::optional<RecordedAudio> recorded = co_await m_recorder->stopRecording();
    if (!self)
        co_return;
    m_lastRecordedFileURL.reset();
    if (recorded && !holdRecording(std::move(*recorded)))
        co_return;
    // The program is on its way out: the mix waits on disk for the next launch.
    if (m_quitting)
        co_return;
    co_await uploadRecordingSteps();
}

bool AppViewModel::holdRecording(RecordedAudio audio) {
    m_lastRecordedFileURL = audio.filePath.isEmpty() ? std::nullopt : std::optional(audio.filePath);
    m_heldPartFiles = audio.partFiles;
    if (m_recording)
        m_recording->mixed(audio);
    if (audio.loss == RecordedAudio::Loss::none)
        return true;
    setState(AppState::uploadError(lossText(audio)));
    return false;
}

void AppViewModel::deleteHeldFiles() {
    if (m_lastRecordedFileURL)
        QFile::remove(*m_lastRecordedFileURL);
    for (const QString &part : std::as_const(m_heldPartFiles))
        QFile::remove(part);
    m_lastRecordedFileURL.reset();
    m_heldPartFiles.clear();
}

QCoro::Task<> AppViewModel::uploadRecordingSteps() {
    QPointer<AppViewModel> self(this);
    if (m_lastRecordedFileURL && m_recording && !m_recording->manifest().meetingId && m_authToken) {
        // A recording found after a crash without its manifest: a meeting is made for it now.
        auto meeting = co_await attempt(AuthBridge::createMeeting(m_apiBaseURL, *m_authToken));
        if (!self)
            co_return;
        if (const Failure *failure = failureOf<MeetingCreateResult>(meeting)) {
            fail(failure->text, failure->tokenRefused);
            co_return;
        }
        m_pendingMeetingId = std::get<MeetingCreateResult>(meeting).id;
        m_recording->setMeeting(*m_pendingMeetingId);
    }
    if (!m_lastRecordedFileURL || !m_pendingMeetingId || !m_authToken) {
        setState(AppState::uploadError(recordingNotFoundText));
        co_return;
    }
    const QString file = *m_lastRecordedFileURL;
    setUploadProgress(0.0);

    AuthBridge::UploadProgress onProgress = [self](std::int64_t sent, std::int64_t total) {
        if (self && total > 0)
            self->setUploadProgress(static_cast<double>(sent) / static_cast<double>(total));
    };
    // Made outside the co_await: GCC 12 destroys a lambda temporary of a co_await expression
    // twice, which would release `self` twice.
    QCoro::Task<> upload = AuthBridge::uploadAudio(m_apiBaseURL, *m_authToken, *m_pendingMeetingId,
                                                   file, std::move(onProgress));
    auto uploaded = co_await attempt(std::move(upload));
    if (!self)
        co_return;
    if (const Failure *failure = failureOf<void>(uploaded)) {
        // The file and the meeting stay for a retry.
        fail(failure->text, failure->tokenRefused);
        co_return;
    }
    setUploadProgress(1.0);
    // Written down before anything goes, so that a crash now cannot send it twice; then the
    // uploaded file, and parts whose loss the user accepted by sending it anyway.
    if (m_recording)
        m_recording->delivered();
    m_recording.reset();
    deleteHeldFiles();
    m_pendingMeetingId.reset();
    co_await checkProfile(true);
}

void AppViewModel::fail(const QString &text, bool tokenRefused) {
    if (!tokenRefused) {
        setState(AppState::uploadError(text));
        return;
    }
    // The recording stays on disk with its manifest but is let go here: once its account signs
    // in again, the recovery offers it, for its own meeting.
    m_recording.reset();
    m_lastRecordedFileURL.reset();
    m_heldPartFiles.clear();
    m_pendingMeetingId.reset();
    dropToken();
    setState(AppState::notLoggedIn(signInExpiredText));
}

QCoro::Task<> AppViewModel::retryUploadSteps() {
    if (!m_lastRecordedFileURL && !m_heldPartFiles.isEmpty()) {
        // The mix failed: try it again first; a new failure keeps every part for the next try.
        QPointer<AppViewModel> self(this);
        setUploadProgress(unknownProgress);
        setState(AppState::uploading());
        RecordedAudio mixed = co_await m_recorder->mixParts(m_heldPartFiles);
        if (!self || !holdRecording(std::move(mixed)) || m_quitting)
            co_return;
    }
    if (m_lastRecordedFileURL) {
        setUploadProgress(0.0);
        setState(AppState::uploading());
        co_await uploadRecordingSteps();
    } else {
        co_await checkProfile(true);
    }
}

QCoro::Task<> AppViewModel::cancelUploadSteps() {
    deleteHeldFiles();
    forgetRecording();
    m_pendingMeetingId.reset();
    co_await checkProfile(true);
}

std::optional<RecordingArchive> AppViewModel::archive() const {
    if (!m_recordingsFolder.isEmpty())
        return RecordingArchive(m_recordingsFolder);
    try {
        return RecordingArchive(AudioFiles::privateFolder());
    } catch (const AudioFileError &) {
        // No folder, no recordings to keep: a start would fail with its own message.
        return std::nullopt;
    }
}

void AppViewModel::forgetRecording() {
    if (m_recording)
        m_recording->discard();
    m_recording.reset();
}

QCoro::Task<bool> AppViewModel::prepareToQuit() {
    QPointer<AppViewModel> self(this);
    m_quitting = true;
    // A start, a stop draining the encoder, or a mix is waited for, and its stage written
    // down; an upload is not: its file waits for the next launch as it is.
    const auto writing = [this] {
        return m_activity == Activity::starting || m_activity == Activity::stopping ||
               m_activity == Activity::retrying || m_activity == Activity::recovering;
    };
    QElapsedTimer waited;
    waited.start();
    while (self && writing() && waited.elapsed() < m_quitWaitLimit.count()) {
        co_await qCoro(this, &AppViewModel::changed,
                       m_quitWaitLimit - std::chrono::milliseconds(waited.elapsed()));
    }
    if (!self || writing())
        co_return false;
    if (m_state.kind() == AppState::Case::recording) {
        // The parts are complete once the capture ends; the next launch mixes them.
        QCoro::Task<QStringList> stopping = m_recorder->stopKeepingParts();
        const QStringList parts = co_await std::move(stopping);
        if (self && m_recording)
            m_recording->stopped(parts);
    }
    co_return true;
}

void AppViewModel::offerUnsentRecordings() {
    if (!m_recoversUnsent || m_state.kind() != AppState::Case::idle ||
        m_activity != Activity::none || m_recording || hasRecordedFile() || m_quitting) {
        return;
    }
    // Nearly always nothing is waiting: then the screens hear of no busy spell either.
    if (const std::optional<RecordingArchive> folder = archive(); folder && folder->holdsFiles()) {
        runExclusive(Activity::recovering, &AppViewModel::recoverSteps);
    }
}

bool AppViewModel::isOwnRecording(const RecordingManifest &manifest) const {
    if (manifest.userId && (!m_profile || *manifest.userId != m_profile->id))
        return false;
    // A manifest from before addresses were kept does not say where its meeting is: it goes
    // only to the released service, where nearly all of them were made, and never to a
    // development or staging one. (One made against such a service then cannot be told apart.)
    const QString address = manifest.apiBaseUrl.isEmpty()
                                ? QString::fromLatin1(ApiBaseUrl::releasedBaseUrl)
                                : manifest.apiBaseUrl;
    return address == m_apiBaseURL;
}

bool AppViewModel::mixIsWhole(const RecordingArchive::Unfinished &found) {
    const std::optional<std::chrono::milliseconds> length = AudioDecoder::lengthOf(found.mixedFile);
    if (!length || !AudioDecoder::holdsAudio(found.mixedFile))
        return false;
    constexpr std::chrono::seconds tolerance(1);
    if (found.manifest && found.manifest->mixLength)
        return std::chrono::abs(*length - *found.manifest->mixLength) <= tolerance;
    // Made by a stop that did not get to write down its length: as long as every part left.
    return std::ranges::all_of(found.partFiles, [&](const QString &part) {
        const std::optional<std::chrono::milliseconds> partLength = AudioDecoder::lengthOf(part);
        return !partLength || *partLength <= *length + tolerance;
    });
}

bool AppViewModel::isEmptyPart(const QString &path) {
    // A part without a single sample is a few hundred bytes of header; one that is larger and
    // gives no audio could not be read, which is no reason to delete it.
    constexpr qint64 headerOnly = 16 * 1024;
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() <= headerOnly &&
           file.readAll().size() == file.size();
}

QCoro::Task<> AppViewModel::recoverSteps() {
    const std::optional<RecordingArchive> folder = archive();
    if (!folder)
        co_return;
    QPointer<AppViewModel> self(this);
    for (const RecordingArchive::Unfinished &found : folder->unfinished()) {
        // Sent already: a crash came before its files were gone.
        if (found.manifest && found.manifest->stage == RecordingManifest::Stage::delivered) {
            folder->remove(found.id);
            continue;
        }
        // Another account's or another service's recording waits, untouched, for that account
        // on that service: its meeting is not this one's, and its audio is not either.
        if (found.manifest && !isOwnRecording(*found.manifest))
            continue;
        RecordedAudio audio;
        bool unreadable = false;
        if (!found.mixedFile.isEmpty() && mixIsWhole(found)) {
            // A whole mix is never replaced: parts still beside it were on their way out (a
            // quit between two removals), and go once the mix has been sent.
            audio.filePath = found.mixedFile;
            audio.partFiles = found.partFiles;
        } else if (found.partFiles.isEmpty()) {
            // Nothing to mix it again from: offered for what it holds, as a recording that
            // lost audio.
            audio.filePath = found.mixedFile;
            audio.loss = RecordedAudio::Loss::trackCut;
        } else {
            QStringList withAudio;
            QStringList empty;
            for (const QString &part : found.partFiles) {
                if (AudioDecoder::holdsAudio(part))
                    withAudio << part;
                else if (isEmptyPart(part))
                    empty << part;
            }
            if (withAudio.size() + empty.size() < found.partFiles.size()) {
                // A part that cannot be read now (EIO, too many open files) is never taken for
                // an empty one: the recording is offered with every part kept, for a retry.
                unreadable = true;
                audio.partFiles = found.partFiles;
                audio.loss = RecordedAudio::Loss::mixFailed;
            } else if (withAudio.isEmpty()) {
                // Nothing was ever recorded (the capture never delivered a sample).
                folder->remove(found.id);
                continue;
            } else {
                // A mix that a crash cut short is made again from the parts, off this thread.
                QCoro::Task<RecordedAudio> mixing = m_recorder->mixParts(withAudio);
                audio = co_await std::move(mixing);
                if (!self)
                    co_return;
                for (const QString &part : empty)
                    QFile::remove(part);
            }
        }
        if (audio.filePath.isEmpty() && audio.partFiles.isEmpty()) {
            folder->remove(found.id);
            continue;
        }

        RecordingManifest manifest;
        if (found.manifest) {
            manifest = *found.manifest;
        } else {
            // Its manifest is lost: the audio is offered all the same, for a new meeting of the
            // account it is offered to.
            manifest.id = found.id;
            manifest.startTime = found.startTime;
            manifest.apiBaseUrl = m_apiBaseURL;
            if (m_profile)
                manifest.userId = m_profile->id;
        }
        if (audio.loss != RecordedAudio::Loss::mixFailed && manifest.trackCut) {
            audio.loss = RecordedAudio::Loss::trackCut;
            audio.affectedTrack = audio.affectedTrack ? audio.affectedTrack : manifest.cutTrack;
            audio.systemLostToFullDisk = manifest.systemLostToFullDisk;
            audio.microphoneLostToFullDisk = manifest.microphoneLostToFullDisk;
        }
        m_recording = std::make_unique<RecordingOnDisk>(*folder, manifest, found.lock);
        m_pendingMeetingId = manifest.meetingId;
        const bool complete = audio.loss == RecordedAudio::Loss::none;
        const QString lossNote = unreadable ? unreadablePartText
                                 : complete ? QString()
                                            : lossText(audio);
        holdRecording(audio);
        std::optional<std::chrono::seconds> length;
        if (m_lastRecordedFileURL) {
            if (const auto ms = AudioDecoder::lengthOf(*m_lastRecordedFileURL))
                length = std::chrono::duration_cast<std::chrono::seconds>(*ms);
        }
        QString text = unsentRecordingText(manifest.startTime, length);
        if (!lossNote.isEmpty())
            text += QStringLiteral(". ") + lossNote;
        setState(AppState::uploadError(text));
        co_return;
    }
}

void AppViewModel::setUploadProgress(double value) {
    m_uploadProgress = value;
    const bool finalValue = value == unknownProgress || value == 0.0 || value >= 1.0;
    if (finalValue || !m_sinceProgressAnnounced.isValid() ||
        m_sinceProgressAnnounced.elapsed() >= progressInterval.count()) {
        announceUploadProgress();
    } else if (!m_progressAnnouncer.isActive()) {
        // The latest value is announced when the interval is up, however many came meanwhile.
        m_progressAnnouncer.start(progressInterval -
                                  std::chrono::milliseconds(m_sinceProgressAnnounced.elapsed()));
    }
}

void AppViewModel::announceUploadProgress() {
    m_progressAnnouncer.stop();
    m_sinceProgressAnnounced.start();
    emit uploadProgressChanged();
}
