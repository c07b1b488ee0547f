#pragma once
// The one observable state object: what the popover shows, and the user's actions on it.

#include "AppState.h"
#include "LinkOpener.h"
#include "Recorder.h"
#include "RecordingArchive.h"
#include "RecordingManifest.h"
#include "RecordingNoticeText.h"
#include "RecordingOnDisk.h"
#include "TokenStore.h"

#include <QCoroTask>
#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

class AppViewModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(AppState::Case stateCase READ stateCase NOTIFY changed)
    Q_PROPERTY(QDateTime recordingStartTime READ recordingStartTime NOTIFY changed)
    Q_PROPERTY(QString uploadErrorText READ uploadErrorText NOTIFY changed)
    Q_PROPERTY(bool authTimedOut READ authTimedOut NOTIFY changed)
    Q_PROPERTY(bool isPollingAuth READ isPollingAuth NOTIFY changed)
    Q_PROPERTY(bool hasRecordedFile READ hasRecordedFile NOTIFY changed)
    // True while a start, stop, upload, retry or cancel is running; the screens disable the
    // buttons that would start another one.
    Q_PROPERTY(bool isBusy READ isBusy NOTIFY changed)
    // How far the upload has come, 0 to 1; unknownProgress (-1) while the recorder finishes
    // and mixes. Announced at most about 20 times a second.
    Q_PROPERTY(double uploadProgress READ uploadProgress NOTIFY uploadProgressChanged)
    // While recording: what the recorder says cannot be heard, one notice per line; empty
    // otherwise.
    Q_PROPERTY(QString recordingNotice READ recordingNotice NOTIFY recordingNoticeChanged)

public:
    static constexpr std::chrono::milliseconds productionPollInterval{2000};
    // However long the service keeps a sign-in open, the program waits no longer than this.
    static constexpr std::chrono::milliseconds maxSignInWait{std::chrono::minutes(15)};
    // A kept token that could not be checked is checked again at most this often.
    static constexpr std::chrono::milliseconds productionRecheckInterval{std::chrono::minutes(1)};
    static constexpr double unknownProgress = -1.0;
    static constexpr std::chrono::milliseconds progressInterval{50};
    // How long a quit waits for a stop or a mix to finish writing.
    static constexpr std::chrono::milliseconds maxQuitWait{std::chrono::seconds(10)};

    // What production takes from the platform, replaceable in tests.
    struct Seams {
        QString apiBaseUrl;
        std::shared_ptr<TokenStore> tokenStore;
        std::shared_ptr<LinkOpener> linkOpener;
        std::chrono::milliseconds pollInterval = productionPollInterval;
        // Not owned; AudioRecorder::shared() when none is given.
        Recorder *recorder = nullptr;
        // Where recordings wait until they reach the service; the recorder's private folder
        // when empty.
        QString recordingsFolder{};
        std::chrono::milliseconds signInWaitLimit = maxSignInWait;
        std::chrono::milliseconds profileRecheckInterval = productionRecheckInterval;
        // Whether recordings that an earlier run left are offered: not by a copy that cannot
        // tell whether another copy is running.
        bool recoversUnsent = true;
        std::chrono::milliseconds quitWaitLimit = maxQuitWait;
    };

    // The program's own instance: built-in service address, keyring, desktop links, 2.0 s.
    explicit AppViewModel(QObject *parent = nullptr, bool recoversUnsent = true);
    explicit AppViewModel(Seams seams, QObject *parent = nullptr);
    ~AppViewModel() override;

    [[nodiscard]] const AppState &state() const noexcept { return m_state; }
    [[nodiscard]] AppState::Case stateCase() const noexcept { return m_state.kind(); }
    [[nodiscard]] QDateTime recordingStartTime() const { return m_state.startTime(); }
    [[nodiscard]] QString uploadErrorText() const { return m_state.errorText(); }
    // The sign-in's wait ran out (a token that still arrives signs in all the same).
    [[nodiscard]] bool authTimedOut() const noexcept {
        return m_signInPhase == SignInPhase::ranOut;
    }
    // A sign-in is under way, from its start until the check of its token is done.
    [[nodiscard]] bool isPollingAuth() const noexcept {
        return m_signInPhase == SignInPhase::starting || m_signInPhase == SignInPhase::waiting ||
               m_signInPhase == SignInPhase::completing;
    }
    [[nodiscard]] const QString &apiBaseURL() const noexcept { return m_apiBaseURL; }
    [[nodiscard]] const std::optional<QString> &authToken() const noexcept { return m_authToken; }
    [[nodiscard]] std::optional<std::int64_t> pendingMeetingId() const noexcept {
        return m_pendingMeetingId;
    }
    // A local file path, not a URL.
    [[nodiscard]] const std::optional<QString> &lastRecordedFileURL() const noexcept {
        return m_lastRecordedFileURL;
    }
    // A recording is held: the file to upload, or part files whose mix is to be tried again.
    [[nodiscard]] bool hasRecordedFile() const noexcept {
        return m_lastRecordedFileURL.has_value() || !m_heldPartFiles.isEmpty();
    }
    // Part files the view model owns: kept because the recording's file lacks their audio, or
    // because their mix failed and is tried again on retry.
    [[nodiscard]] const QStringList &heldPartFiles() const noexcept { return m_heldPartFiles; }
    [[nodiscard]] std::chrono::milliseconds pollInterval() const noexcept { return m_pollInterval; }
    [[nodiscard]] bool isBusy() const noexcept { return m_activity != Activity::none; }
    [[nodiscard]] double uploadProgress() const noexcept { return m_uploadProgress; }
    [[nodiscard]] QString recordingNotice() const {
        return RecordingNoticeText::lines(m_recorder->notices()).join(QLatin1Char('\n'));
    }

    // Asks the service who the token belongs to: idle with that profile; notLoggedIn, without
    // the token, when the service refuses it; when the service cannot be asked, the token
    // stays (unconfirmed) and the screen stays or becomes notLoggedIn. Leaves only the idle and
    // notLoggedIn screens.
    QCoro::Task<> refreshProfile();
    // The popover opens: a kept token that could not be checked is checked again, at most once
    // per recheck interval (a check asked for sooner comes at the interval's end).
    Q_INVOKABLE void recheckSignIn();
    // Done once the stored token has been read at start-up (and its profile check started).
    [[nodiscard]] bool hasLoadedStoredToken() const noexcept { return m_storedTokenLoaded; }
    Q_INVOKABLE void logout();
    // Starts a Telegram sign-in as its own task, unless one is under way.
    Q_INVOKABLE void startTelegramLogin();

    // The recording flow. Each starts its own task and returns at once; while one runs
    // (isBusy), a further call of any of them changes nothing.
    // From idle: creates a meeting, then starts the recorder.
    Q_INVOKABLE void beginRecording();
    // From recording: shows the upload screen, stops the recorder, uploads its file.
    Q_INVOKABLE void finishRecording();
    // Sends the kept file to the kept meeting.
    Q_INVOKABLE void uploadRecording();
    // Uploads the kept file again (after mixing the held parts anew when their mix had failed),
    // or, without one, goes back through the profile check.
    Q_INVOKABLE void retryUpload();
    // Deletes the kept file and parts, forgets the meeting, goes back through the profile check.
    Q_INVOKABLE void cancelUpload();

    // Before the program exits: a recording under way stops capturing so that its part files
    // are complete; a stop or a mix under way is waited for, up to the quit wait limit. Either
    // way the recording's stage is written down and it stays on disk, with everything else
    // unsent, for the next launch; nothing new starts. Not an upload: it is given up. False
    // when the wait ran out with a stop or a mix still writing: the program should then end as
    // a crash would, leaving the parts to the next launch, rather than tear down the writer.
    QCoro::Task<bool> prepareToQuit();

signals:
    // Any change of the state, the sign-in's flags or the busy flag.
    void changed();
    void storedTokenLoaded();
    void uploadProgressChanged();
    void recordingNoticeChanged();

private:
    // Where the latest sign-in attempt stands; only setSignInPhase() changes it, and the
    // screens' flags are read from it. Polls overlap and may answer late: each carries its
    // attempt's number, and only the current attempt, while it waits or has just run out, may
    // take a token. An attempt ends (none) when its start fails, when its token has been
    // checked, on a sign-out, and whenever the state leaves notLoggedIn by any route.
    enum class SignInPhase {
        none,       // no attempt under way; answers of an ended attempt change nothing
        starting,   // a kept token's check or the start request is under way
        waiting,    // the poll timer runs
        ranOut,     // the polls ran out (authTimedOut); a late token still signs in
        completing, // a token arrived: stored, then the profile check
    };
    // Which recording-flow operation is running; only setActivity() changes it.
    enum class Activity { none, starting, stopping, uploading, retrying, cancelling, recovering };
    using Steps = QCoro::Task<> (AppViewModel::*)();

    void setActivity(Activity activity);
    // Runs the steps of one operation unless another is running, marking the view model busy
    // for their duration.
    QCoro::Task<> runExclusive(Activity activity, Steps steps);
    QCoro::Task<> beginRecordingSteps();
    QCoro::Task<> finishRecordingSteps();
    QCoro::Task<> uploadRecordingSteps();
    QCoro::Task<> retryUploadSteps();
    QCoro::Task<> cancelUploadSteps();
    // Offers the oldest recording that a quit or a crash left unsent, once the program is idle.
    QCoro::Task<> recoverSteps();
    void offerUnsentRecordings();
    // Whether a mix left on disk is as long as it should be, and so may be sent as it is.
    [[nodiscard]] static bool mixIsWhole(const RecordingArchive::Unfinished &found);
    // Whether a part that gives no audio holds none, rather than could not be read.
    [[nodiscard]] static bool isEmptyPart(const QString &path);
    // Whether a recording was made by the signed-in account on this view model's service.
    [[nodiscard]] bool isOwnRecording(const RecordingManifest &manifest) const;
    [[nodiscard]] std::optional<RecordingArchive> archive() const;
    // Removes the held recording's files; letting go of it (resetting m_recording) leaves them
    // for the next launch.
    void forgetRecording();
    // Takes over what the recorder handed back. A recording that lost audio, or whose mix
    // failed, is not uploaded silently: false, with the error screen saying what happened.
    bool holdRecording(RecordedAudio audio);
    void deleteHeldFiles();
    void setUploadProgress(double value);
    void announceUploadProgress();

    void setState(AppState state);
    void setSignInPhase(SignInPhase phase);
    // Every change of the token in memory goes through here, so that answers about an older
    // token can tell they are stale.
    void setAuthToken(std::optional<QString> token);
    // From memory and from the store.
    void dropToken();
    // byRecordingFlow: the recording flow ends its operation with it, and may leave its own
    // screens (uploading, uploadError) for idle.
    QCoro::Task<> checkProfile(bool byRecordingFlow);
    // The recording flow's failure: the error screen, or, when the service refused the token,
    // the sign-in screen with the recording kept on disk for the account's next sign-in.
    void fail(const QString &text, bool tokenRefused);

    QCoro::Task<> loadStoredToken();
    QCoro::Task<> runTelegramLogin();
    void startPolling(std::uint64_t attempt, QString nonce, std::int64_t maxPolls);
    static QCoro::Task<> pollOnce(QPointer<AppViewModel> self, std::uint64_t attempt,
                                  QString baseUrl, QString nonce, std::int64_t maxPolls,
                                  std::int64_t n);
    [[nodiscard]] bool mayTakeToken(std::uint64_t attempt) const;

    AppState m_state;
    QString m_apiBaseURL;
    std::optional<QString> m_authToken;
    // The profile the service gave for m_authToken; the account recordings belong to.
    std::optional<UserProfileVM> m_profile;
    // m_authToken is kept although the service could not be asked about it.
    bool m_tokenUnconfirmed = false;
    QElapsedTimer m_sinceProfileCheck;
    QTimer m_profileRecheck;
    std::uint64_t m_authTokenChanges = 0;
    bool m_storedTokenLoaded = false;
    SignInPhase m_signInPhase = SignInPhase::none;
    std::uint64_t m_signInAttempt = 0;
    std::unique_ptr<QTimer> m_pollTimer;
    // Set and cleared by the recording flow.
    std::optional<std::int64_t> m_pendingMeetingId;
    std::optional<QString> m_lastRecordedFileURL;
    QStringList m_heldPartFiles;
    Activity m_activity = Activity::none;
    // The recording under way or held for upload, on disk.
    std::unique_ptr<RecordingOnDisk> m_recording;
    bool m_recoversUnsent = true;
    QString m_recordingsFolder;
    double m_uploadProgress = unknownProgress;
    // Progress reports come as fast as the network goes; the screens hear of them at most
    // once per progressInterval, and always of the last one.
    QElapsedTimer m_sinceProgressAnnounced;
    QTimer m_progressAnnouncer;

    std::shared_ptr<TokenStore> m_tokenStore;
    std::shared_ptr<LinkOpener> m_linkOpener;
    std::chrono::milliseconds m_pollInterval;
    std::chrono::milliseconds m_signInWaitLimit;
    std::chrono::milliseconds m_profileRecheckInterval;
    std::chrono::milliseconds m_quitWaitLimit;
    // Set once the program is on its way out: nothing new (an upload, a recovery) starts.
    bool m_quitting = false;
    Recorder *m_recorder;
};
