#include "RecordingFlow.h"

#include "AudioFileError.h"
#include "AudioFiles.h"
#include "AuthBridge.h"
#include "RecordingDelivery.h"
#include "RecordingFiles.h"
#include "StepOutcome.h"
#include "UnsentRecordings.h"
#include "UserTexts.h"

#include <QCoroSignal>
#include <QElapsedTimer>
#include <QPointer>

#include <utility>

RecordingFlow::RecordingFlow(AppScreen &screen, SignInFlow &signIn, Settings settings,
                             QObject *parent)
    : QObject(parent)
    , m_screen(screen)
    , m_signIn(signIn)
    , m_recorder(*settings.recorder)
    , m_recordingsFolder(std::move(settings.recordingsFolder))
    , m_recoversUnsent(settings.recoversUnsent)
    , m_quitWaitLimit(settings.quitWaitLimit)
    , m_unsent(
          signIn, *settings.recorder, [this] { return archive(); },
          [this](UnsentRecordings::Offer &offer) { return tell(offer); },
          settings.firstUnsentPause) {
    // A quit waits for a mix of unsent parts, as for its own.
    connect(&m_unsent, &UnsentQueue::lookingChanged, this, &RecordingFlow::changed);
}

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
    // An operation that ends in idle (an upload, a cancel) makes way for the next recording
    // that lost audio to be offered.
    offerUnsentRecordings();
}

QCoro::Task<> RecordingFlow::beginRecordingSteps() {
    const AppState::Case screen = m_screen.state().kind();
    const std::optional<QString> token = m_signIn.authToken();
    const std::optional<UserProfileVM> signedIn = m_signIn.profile();
    if ((screen != AppState::Case::idle && screen != AppState::Case::uploadError) || !token ||
        !signedIn)
        co_return;
    const UserProfileVM profile = *signedIn;
    QPointer<RecordingFlow> self(this);
    if (m_recording) {
        // The next meeting does not wait for the last one's upload: that recording, whose
        // loss the error screen told, waits with the unsent ones and goes by itself.
        m_unsent.markTold(m_recording->manifest().id);
        setRecording(nullptr);
    }

    auto meeting = co_await attemptStep(AuthBridge::createMeeting(m_signIn.apiBaseURL(), *token));
    if (!self)
        co_return;
    if (const StepFailure *failure = failureOf<MeetingCreateResult>(meeting)) {
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
        setRecording(std::make_unique<RecordingOnDisk>(std::move(archive), manifest));
    } catch (const AudioFileError &error) {
        m_screen.setState(AppState::uploadError(error.localizedDescription()));
        co_return;
    }
    // The recorder writes its files where the recording is kept, under the recording's id.
    const RecordingFiles files(folder, manifest.id);
    auto started = co_await attemptStep(m_recorder.startRecording(files));
    if (!self)
        co_return;
    if (const StepFailure *failure = failureOf<void>(started)) {
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
    // Everything is on the disk: a quit from here on waits for nothing.
    setActivity(Activity::uploading);
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
    if (!m_recording || !m_signIn.authToken()) {
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
    QCoro::Task<std::optional<StepFailure>> delivering =
        RecordingDelivery::deliver(*m_recording, m_signIn.apiBaseURL(), *m_signIn.authToken(),
                                   std::move(onProgress), QPointer<QObject>(this));
    const std::optional<StepFailure> failure = co_await std::move(delivering);
    if (!self)
        co_return;
    if (failure) {
        fail(failure->text, failure->tokenRefused);
        co_return;
    }
    m_progress.set(1.0);
    setRecording(nullptr);
    // The service answers: what waited unsent goes now too.
    m_unsent.sendNow();
    co_await m_signIn.checkProfile(true);
}

void RecordingFlow::fail(const QString &text, bool tokenRefused) {
    if (!tokenRefused) {
        m_screen.setState(AppState::uploadError(text));
        return;
    }
    // The recording stays on disk with its manifest but is let go here: once its account signs
    // in again, it is sent to its own meeting.
    setRecording(nullptr);
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
        setActivity(Activity::uploading);
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
    setRecording(nullptr);
}

void RecordingFlow::setRecording(std::unique_ptr<RecordingOnDisk> recording) {
    m_recording = std::move(recording);
    m_unsent.setHeld(m_recording ? m_recording->manifest().id : QString());
}

QCoro::Task<bool> RecordingFlow::prepareToQuit() {
    QPointer<RecordingFlow> self(this);
    m_quitting = true;
    m_unsent.stop();
    // A start, a stop draining the encoder, or a mix (of this recording's parts or of unsent
    // ones) is waited for, and its stage written down; an upload is not: its file waits for
    // the next launch as it is.
    const auto writing = [this] {
        return m_activity == Activity::starting || m_activity == Activity::stopping ||
               m_activity == Activity::retrying || m_unsent.isLooking();
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
    if (m_recoversUnsent && !m_quitting)
        m_unsent.sendSoon();
}

void RecordingFlow::sendUnsentNow() {
    if (m_recoversUnsent && !m_quitting)
        m_unsent.sendNow();
}

bool RecordingFlow::tell(UnsentRecordings::Offer &offer) {
    if (m_screen.state().kind() != AppState::Case::idle || m_activity != Activity::none ||
        m_recording || m_quitting) {
        return false;
    }
    m_unsent.markTold(offer.recording->manifest().id);
    setRecording(std::move(offer.recording));
    holdRecording(offer.audio);
    m_screen.setState(AppState::uploadError(offer.text));
    return true;
}
