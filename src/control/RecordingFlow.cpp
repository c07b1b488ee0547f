#include "RecordingFlow.h"

#include "AudioFileError.h"
#include "AudioFiles.h"
#include "AuthBridge.h"
#include "RecordingFiles.h"
#include "URLError.h"
#include "UnsentRecordings.h"
#include "UserFacingError.h"
#include "UserTexts.h"

#include <QCoroSignal>
#include <QElapsedTimer>
#include <QPointer>

#include <type_traits>
#include <utility>
#include <variant>

namespace {

// What a step without a value gives when it succeeds. (Not std::monostate: QCoro keeps its
// results in a variant whose monostate means "no result yet", and would never resume.)
struct Done {};

// Why a step failed: the text the user is shown, and whether the service refused the token.
struct Failure {
    QString text;
    bool tokenRefused = false;
};

// A step of the recording flow either gives its value or its failure.
template <typename T>
using StepOutcome = std::variant<std::conditional_t<std::is_void_v<T>, Done, T>, Failure>;

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
    } catch (const UserFacingError &error) {
        co_return Failure{error.localizedDescription()};
    } catch (const std::exception &) {
        // Anything else still ends on the error screen, where the recording can be retried,
        // rather than in a flow that never finishes.
        co_return Failure{unexpectedErrorText()};
    }
}

template <typename T> const Failure *failureOf(const StepOutcome<T> &outcome) {
    return std::get_if<Failure>(&outcome);
}

} // namespace

RecordingFlow::RecordingFlow(AppScreen &screen, SignInFlow &signIn, Settings settings,
                             QObject *parent)
    : QObject(parent)
    , m_screen(screen)
    , m_signIn(signIn)
    , m_recorder(*settings.recorder)
    , m_recordingsFolder(std::move(settings.recordingsFolder))
    , m_recoversUnsent(settings.recoversUnsent)
    , m_quitWaitLimit(settings.quitWaitLimit) {}

std::optional<std::int64_t> RecordingFlow::pendingMeetingId() const {
    return m_recording ? m_recording->manifest().meetingId : std::nullopt;
}

std::optional<QString> RecordingFlow::lastRecordedFileURL() const {
    if (!m_recording || m_recording->heldFile().isEmpty())
        return std::nullopt;
    return m_recording->heldFile();
}

QStringList RecordingFlow::heldPartFiles() const {
    return m_recording ? m_recording->heldParts() : QStringList();
}

bool RecordingFlow::hasRecordedFile() const {
    return lastRecordedFileURL().has_value() || !heldPartFiles().isEmpty();
}

void RecordingFlow::beginRecording() {
    runExclusive(Activity::starting, &RecordingFlow::beginRecordingSteps);
}

void RecordingFlow::finishRecording() {
    runExclusive(Activity::stopping, &RecordingFlow::finishRecordingSteps);
}

void RecordingFlow::uploadRecording() {
    runExclusive(Activity::uploading, &RecordingFlow::uploadRecordingSteps);
}

void RecordingFlow::retryUpload() {
    runExclusive(Activity::retrying, &RecordingFlow::retryUploadSteps);
}

void RecordingFlow::cancelUpload() {
    runExclusive(Activity::cancelling, &RecordingFlow::cancelUploadSteps);
}

void RecordingFlow::setActivity(Activity activity) {
    m_activity = activity;
    emit changed();
}

QCoro::Task<> RecordingFlow::runExclusive(Activity activity, Steps steps) {
    // The screens disable their buttons while busy; this also stops a second click that
    // arrives before the screen has redrawn.
    if (m_activity != Activity::none)
        co_return;
    QPointer<RecordingFlow> self(this);
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

QCoro::Task<> RecordingFlow::beginRecordingSteps() {
    const auto *idle = std::get_if<AppState::Idle>(&m_screen.state().value());
    const std::optional<QString> token = m_signIn.authToken();
    if (!idle || !token)
        co_return;
    const UserProfileVM profile = idle->profile;
    QPointer<RecordingFlow> self(this);

    auto meeting = co_await attempt(AuthBridge::createMeeting(m_signIn.apiBaseURL(), *token));
    if (!self)
        co_return;
    if (const Failure *failure = failureOf<MeetingCreateResult>(meeting)) {
        fail(failure->text, failure->tokenRefused);
        co_return;
    }
    RecordingManifest manifest;
    manifest.userId = profile.id;
    manifest.apiBaseUrl = m_signIn.apiBaseURL();
    manifest.id = RecordingFiles::newId();
    manifest.meetingId = std::get<MeetingCreateResult>(meeting).id;
    manifest.startTime = QDateTime::currentDateTimeUtc();
    // The recording on disk holds the meeting from here on; without a folder to keep it in,
    // the recorder could not start either, and fails the same way.
    QString folder;
    try {
        RecordingArchive archive = openArchive();
        folder = archive.folder();
        m_recording = std::make_unique<RecordingOnDisk>(std::move(archive), manifest);
    } catch (const AudioFileError &error) {
        m_screen.setState(AppState::uploadError(error.localizedDescription()));
        co_return;
    }
    // The recorder writes its files where the recording is kept, under the recording's id.
    const RecordingFiles files(folder, manifest.id);
    auto started = co_await attempt(m_recorder.startRecording(files));
    if (!self)
        co_return;
    if (const Failure *failure = failureOf<void>(started)) {
        // The meeting stays on the service; nothing here can take it back.
        forgetRecording();
        m_screen.setState(AppState::uploadError(failure->text));
        co_return;
    }
    if (m_recording)
        m_recording->capturing();
    m_screen.setState(AppState::recording(profile, manifest.startTime));
}

QCoro::Task<> RecordingFlow::finishRecordingSteps() {
    if (m_screen.state().kind() != AppState::Case::recording)
        co_return;
    QPointer<RecordingFlow> self(this);
    // The upload screen shows while the recorder finishes and mixes, which takes a while.
    m_progress.set(UploadProgressThrottle::unknownProgress);
    m_screen.setState(AppState::uploading());

    std::optional<RecordedAudio> recorded = co_await m_recorder.stopRecording();
    if (!self)
        co_return;
    if (recorded && !holdRecording(*recorded))
        co_return;
    // The program is on its way out: the mix waits on disk for the next launch.
    if (m_quitting)
        co_return;
    co_await uploadRecordingSteps();
}

bool RecordingFlow::holdRecording(const RecordedAudio &handedBack) {
    const RecordedAudio audio = m_recording ? m_recording->withKeptLoss(handedBack) : handedBack;
    if (m_recording)
        m_recording->mixed(audio);
    if (audio.loss == RecordedAudio::Loss::none)
        return true;
    m_screen.setState(AppState::uploadError(lossText(audio)));
    return false;
}

QCoro::Task<> RecordingFlow::uploadRecordingSteps() {
    QPointer<RecordingFlow> self(this);
    const QString baseUrl = m_signIn.apiBaseURL();
    if (lastRecordedFileURL() && !pendingMeetingId() && m_signIn.authToken()) {
        // A recording found after a crash without its manifest: a meeting is made for it now.
        auto meeting = co_await attempt(AuthBridge::createMeeting(baseUrl, *m_signIn.authToken()));
        if (!self)
            co_return;
        if (const Failure *failure = failureOf<MeetingCreateResult>(meeting)) {
            fail(failure->text, failure->tokenRefused);
            co_return;
        }
        if (m_recording)
            m_recording->setMeeting(std::get<MeetingCreateResult>(meeting).id);
    }
    const std::optional<QString> file = lastRecordedFileURL();
    const std::optional<std::int64_t> meetingId = pendingMeetingId();
    if (!file || !meetingId || !m_signIn.authToken()) {
        m_screen.setState(AppState::uploadError(recordingNotFoundText()));
        co_return;
    }
    m_progress.set(0.0);

    AuthBridge::UploadProgress onProgress = [self](std::int64_t sent, std::int64_t total) {
        if (self && total > 0)
            self->m_progress.set(static_cast<double>(sent) / static_cast<double>(total));
    };
    // Made outside the co_await: GCC 12 destroys a lambda temporary of a co_await expression
    // twice, which would release `self` twice.
    QCoro::Task<> upload = AuthBridge::uploadAudio(baseUrl, *m_signIn.authToken(), *meetingId,
                                                   *file, std::move(onProgress));
    auto uploaded = co_await attempt(std::move(upload));
    if (!self)
        co_return;
    if (const Failure *failure = failureOf<void>(uploaded)) {
        // The file and the meeting stay for a retry.
        fail(failure->text, failure->tokenRefused);
        co_return;
    }
    m_progress.set(1.0);
    // Written down before anything goes, so that a crash now cannot send it twice; then the
    // uploaded file, and parts whose loss the user accepted by sending it anyway.
    if (m_recording) {
        m_recording->delivered();
        m_recording->removeHeldFiles();
    }
    m_recording.reset();
    co_await m_signIn.checkProfile(true);
}

void RecordingFlow::fail(const QString &text, bool tokenRefused) {
    if (!tokenRefused) {
        m_screen.setState(AppState::uploadError(text));
        return;
    }
    // The recording stays on disk with its manifest but is let go here: once its account signs
    // in again, the recovery offers it, for its own meeting.
    m_recording.reset();
    m_signIn.dropToken();
    m_screen.setState(AppState::notLoggedIn(signInExpiredText()));
}

QCoro::Task<> RecordingFlow::retryUploadSteps() {
    if (!lastRecordedFileURL() && !heldPartFiles().isEmpty()) {
        // The mix failed: try it again first; a new failure keeps every part for the next try.
        QPointer<RecordingFlow> self(this);
        m_progress.set(UploadProgressThrottle::unknownProgress);
        m_screen.setState(AppState::uploading());
        QCoro::Task<RecordedAudio> mixing = m_recorder.mixParts(heldPartFiles());
        const RecordedAudio mixed = co_await std::move(mixing);
        if (!self || !holdRecording(mixed) || m_quitting)
            co_return;
    }
    if (lastRecordedFileURL()) {
        m_progress.set(0.0);
        m_screen.setState(AppState::uploading());
        co_await uploadRecordingSteps();
    } else {
        co_await m_signIn.checkProfile(true);
    }
}

QCoro::Task<> RecordingFlow::cancelUploadSteps() {
    if (m_recording)
        m_recording->removeHeldFiles();
    forgetRecording();
    co_await m_signIn.checkProfile(true);
}

RecordingArchive RecordingFlow::openArchive() const {
    return RecordingArchive(m_recordingsFolder.isEmpty() ? AudioFiles::privateFolder()
                                                         : m_recordingsFolder);
}

std::optional<RecordingArchive> RecordingFlow::archive() const {
    try {
        return openArchive();
    } catch (const AudioFileError &) {
        // No folder, no recordings to keep: a start would fail with its own message.
        return std::nullopt;
    }
}

void RecordingFlow::forgetRecording() {
    if (m_recording)
        m_recording->discard();
    m_recording.reset();
}

QCoro::Task<bool> RecordingFlow::prepareToQuit() {
    QPointer<RecordingFlow> self(this);
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
        co_await qCoro(this, &RecordingFlow::changed,
                       m_quitWaitLimit - std::chrono::milliseconds(waited.elapsed()));
    }
    if (!self || writing())
        co_return false;
    if (m_screen.state().kind() == AppState::Case::recording) {
        // The parts are complete once the capture ends; the next launch mixes them.
        QCoro::Task<RecordedAudio> stopping = m_recorder.stopKeepingParts();
        const RecordedAudio kept = co_await std::move(stopping);
        if (self && m_recording)
            m_recording->stopped(kept);
    }
    co_return true;
}

void RecordingFlow::offerUnsentRecordings() {
    if (!m_recoversUnsent || m_screen.state().kind() != AppState::Case::idle ||
        m_activity != Activity::none || m_recording || hasRecordedFile() || m_quitting) {
        return;
    }
    // Nearly always nothing is waiting: then the screens hear of no busy spell either.
    if (const std::optional<RecordingArchive> folder = archive(); folder && folder->holdsFiles()) {
        runExclusive(Activity::recovering, &RecordingFlow::recoverSteps);
    }
}

QCoro::Task<> RecordingFlow::recoverSteps() {
    std::optional<RecordingArchive> folder = archive();
    if (!folder)
        co_return;
    QPointer<RecordingFlow> self(this);
    const std::optional<UserProfileVM> &profile = m_signIn.profile();
    UnsentRecordings unsent(std::move(*folder), m_recorder);
    UnsentRecordings::Owner owner{m_signIn.apiBaseURL(),
                                  profile ? std::optional(profile->id) : std::nullopt};
    QCoro::Task<std::optional<UnsentRecordings::Offer>> taking =
        unsent.takeOldest(std::move(owner), QPointer<QObject>(this));
    std::optional<UnsentRecordings::Offer> offer = co_await std::move(taking);
    if (!self || !offer)
        co_return;
    m_recording = std::move(offer->recording);
    holdRecording(offer->audio);
    m_screen.setState(AppState::uploadError(offer->text));
}
