#pragma once
// The recording and its way to the service: start, stop, upload, retry, cancel, the offer of
// recordings an earlier run left unsent, and the quit that leaves a recording for the next
// launch. The recording held on disk is the one record of what waits to be sent.

#include "AppScreen.h"
#include "Recorder.h"
#include "RecordingArchive.h"
#include "RecordingOnDisk.h"
#include "SignInFlow.h"
#include "UnsentQueue.h"
#include "UploadProgressThrottle.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

class RecordingFlow : public QObject {
    Q_OBJECT

public:
    struct Settings {
        // Not owned.
        Recorder *recorder = nullptr;
        // Where recordings wait until they reach the service; the recorder's private folder
        // when empty.
        QString recordingsFolder;
        // Whether recordings that an earlier run left are offered.
        bool recoversUnsent = true;
        std::chrono::milliseconds quitWaitLimit;
        // The first pause after a failed try of the unsent recordings; it doubles with each.
        std::chrono::milliseconds firstUnsentPause = UnsentQueue::productionFirstPause;
    };

    RecordingFlow(AppScreen &screen, SignInFlow &signIn, Settings settings,
                  QObject *parent = nullptr);

    [[nodiscard]] std::optional<std::int64_t> pendingMeetingId() const;
    // A local file path, not a URL.
    [[nodiscard]] std::optional<QString> lastRecordedFileURL() const;
    [[nodiscard]] QStringList heldPartFiles() const;
    [[nodiscard]] bool hasRecordedFile() const;
    [[nodiscard]] bool isBusy() const noexcept { return m_activity != Activity::none; }
    [[nodiscard]] const UploadProgressThrottle &progress() const noexcept { return m_progress; }
    [[nodiscard]] const UnsentQueue &unsent() const noexcept { return m_unsent; }

    // Each starts its own task and returns at once; while one runs (isBusy), a further call
    // of any of them changes nothing. A recording begins from idle, or from the error screen,
    // whose recording then waits with the unsent ones.
    void beginRecording();
    void finishRecording();
    void uploadRecording();
    void retryUpload();
    void cancelUpload();
    QCoro::Task<bool> prepareToQuit();
    // Sends what waits unsent, unless a failed try's pause runs; a recording that lost audio
    // is offered on the error screen first, once the program is idle.
    void offerUnsentRecordings();
    // Sends what waits unsent now.
    void sendUnsentNow();

signals:
    // The busy flag changed.
    void changed();

private:
    // Which operation is running; only setActivity() changes it.
    enum class Activity { none, starting, stopping, uploading, retrying, cancelling };
    using Steps = QCoro::Task<> (RecordingFlow::*)();

    void setActivity(Activity activity);
    // Runs the steps of one operation unless another is running, marking the flow busy for
    // their duration.
    QCoro::Task<> runExclusive(Activity activity, Steps steps);
    QCoro::Task<> beginRecordingSteps();
    QCoro::Task<> finishRecordingSteps();
    QCoro::Task<> uploadRecordingSteps();
    QCoro::Task<> retryUploadSteps();
    QCoro::Task<> cancelUploadSteps();
    // Shows an unsent recording that lost audio, when the user is not busy with another.
    bool tell(UnsentRecordings::Offer &offer);
    // The one place where the held recording changes.
    void setRecording(std::unique_ptr<RecordingOnDisk> recording);
    // The recordings folder; throws AudioFileError when there is none to be had.
    [[nodiscard]] RecordingArchive openArchive() const;
    [[nodiscard]] std::optional<RecordingArchive> archive() const;
    // Removes the held recording's files; letting go of it (resetting m_recording) leaves them
    // for the next launch.
    void forgetRecording();
    // Takes over what the recorder handed back. A recording that lost audio (now or at its
    // stop), or whose mix failed, is not uploaded silently: false, with the error screen
    // saying what happened.
    bool holdRecording(const RecordedAudio &handedBack);
    // The error screen, or, when the service refused the token, the sign-in screen with the
    // recording kept on disk for the account's next sign-in.
    void fail(const QString &text, bool tokenRefused);

    AppScreen &m_screen;
    SignInFlow &m_signIn;
    Recorder &m_recorder;
    QString m_recordingsFolder;
    bool m_recoversUnsent;
    std::chrono::milliseconds m_quitWaitLimit;
    Activity m_activity = Activity::none;
    // The recording under way or held for upload, on disk.
    std::unique_ptr<RecordingOnDisk> m_recording;
    UploadProgressThrottle m_progress;
    // Set once the program is on its way out: nothing new (an upload, a recovery) starts.
    bool m_quitting = false;
    UnsentQueue m_unsent;
};
