#pragma once
// The one observable state object: what the popover shows, and the user's actions on it. The
// sign-in and the recording flows do the work; this holds the state they show.

#include "AppScreen.h"
#include "AppState.h"
#include "LinkOpener.h"
#include "Recorder.h"
#include "RecordingFlow.h"
#include "SignInFlow.h"
#include "TokenStore.h"
#include "UploadProgressThrottle.h"
#include "UserTexts.h"

#include <QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

class AppViewModel : public QObject, private AppScreen {
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
    // How many recordings wait to be sent, but for the one on the screens ("Не отправлено: 2"),
    // empty when none does.
    Q_PROPERTY(QString unsentText READ unsentText NOTIFY changed)

public:
    static constexpr std::chrono::milliseconds productionPollInterval{2000};
    // However long the service keeps a sign-in open, the program waits no longer than this.
    static constexpr std::chrono::milliseconds maxSignInWait{std::chrono::minutes(15)};
    // A kept token that could not be checked is checked again at most this often.
    static constexpr std::chrono::milliseconds productionRecheckInterval{std::chrono::minutes(1)};
    static constexpr double unknownProgress = UploadProgressThrottle::unknownProgress;
    static constexpr std::chrono::milliseconds progressInterval = UploadProgressThrottle::interval;
    // How long a quit waits for a stop or a mix to finish writing.
    static constexpr std::chrono::milliseconds maxQuitWait{std::chrono::seconds(10)};

    // What production takes from the platform, replaceable in tests.
    struct Seams {
        QString apiBaseUrl;
        std::shared_ptr<TokenStore> tokenStore;
        std::shared_ptr<LinkOpener> linkOpener;
        std::chrono::milliseconds pollInterval = productionPollInterval;
        // Not owned; outlives the view model.
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
        // The first pause after a failed try of the unsent recordings; it doubles with each.
        std::chrono::milliseconds firstUnsentPause = UnsentQueue::productionFirstPause;
    };

    explicit AppViewModel(Seams seams, QObject *parent = nullptr);
    ~AppViewModel() override;

    [[nodiscard]] const AppState &state() const noexcept override { return m_state; }
    [[nodiscard]] AppState::Case stateCase() const noexcept { return m_state.kind(); }
    [[nodiscard]] QDateTime recordingStartTime() const { return m_state.startTime(); }
    [[nodiscard]] QString uploadErrorText() const { return m_state.errorText(); }
    // The sign-in's wait ran out (a token that still arrives signs in all the same).
    [[nodiscard]] bool authTimedOut() const noexcept { return m_signIn.authTimedOut(); }
    // A sign-in is under way, from its start until the check of its token is done.
    [[nodiscard]] bool isPollingAuth() const noexcept { return m_signIn.isPollingAuth(); }
    [[nodiscard]] const QString &apiBaseURL() const noexcept { return m_signIn.apiBaseURL(); }
    [[nodiscard]] const std::optional<QString> &authToken() const noexcept {
        return m_signIn.authToken();
    }
    [[nodiscard]] std::optional<std::int64_t> pendingMeetingId() const {
        return m_recordingFlow.pendingMeetingId();
    }
    // A local file path, not a URL.
    [[nodiscard]] std::optional<QString> lastRecordedFileURL() const {
        return m_recordingFlow.lastRecordedFileURL();
    }
    // A recording is held: the file to upload, or part files whose mix is to be tried again.
    [[nodiscard]] bool hasRecordedFile() const { return m_recordingFlow.hasRecordedFile(); }
    // Part files the view model owns: kept because the recording's file lacks their audio, or
    // because their mix failed and is tried again on retry.
    [[nodiscard]] QStringList heldPartFiles() const { return m_recordingFlow.heldPartFiles(); }
    [[nodiscard]] std::chrono::milliseconds pollInterval() const noexcept {
        return m_signIn.pollInterval();
    }
    [[nodiscard]] bool isBusy() const noexcept { return m_recordingFlow.isBusy(); }
    [[nodiscard]] double uploadProgress() const noexcept {
        return m_recordingFlow.progress().value();
    }
    [[nodiscard]] int unsentCount() const noexcept { return m_recordingFlow.unsent().count(); }
    // Signed out, nothing is the account's.
    [[nodiscard]] QString unsentText() const {
        return stateCase() == AppState::Case::notLoggedIn ? QString()
                                                          : unsentCountText(unsentCount());
    }
    [[nodiscard]] QString recordingNotice() const {
        return recordingNoticeLines(m_recorder->notices()).join(QLatin1Char('\n'));
    }
    // While recording: both tracks have heard nothing for a while (the recorder's verdict).
    [[nodiscard]] bool tracksSilent() const { return m_recorder->tracksSilent(); }

    // Asks the service who the token belongs to: idle with that profile; notLoggedIn, without
    // the token, when the service refuses it; when the service cannot be asked, the token
    // stays (unconfirmed) and the screen stays or becomes notLoggedIn. Leaves only the idle and
    // notLoggedIn screens.
    QCoro::Task<> refreshProfile();
    // The popover opens: a kept token that could not be checked is checked again, at most once
    // per recheck interval (a check asked for sooner comes at the interval's end).
    Q_INVOKABLE void recheckSignIn();
    // Done once the stored token has been read at start-up (and its profile check started).
    [[nodiscard]] bool hasLoadedStoredToken() const noexcept {
        return m_signIn.hasLoadedStoredToken();
    }
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
    // Sends the recordings that wait unsent now, rather than after the pause a failed try set.
    Q_INVOKABLE void sendUnsentNow();

    // Before the program exits: a recording under way stops capturing so that its part files
    // are complete; a stop or a mix under way is waited for, up to the quit wait limit. Either
    // way the recording's stage is written down and it stays on disk, with everything else
    // unsent, for the next launch; nothing new starts. Not an upload: it is given up. False
    // when the wait ran out with a stop or a mix still writing: the program should then end as
    // a crash would, leaving the parts to the next launch, rather than tear down the writer.
    QCoro::Task<bool> prepareToQuit();

signals:
    // Any change of the state, the sign-in's flags, the busy flag or the unsent count.
    void changed();
    void storedTokenLoaded();
    void uploadProgressChanged();
    // recordingNotice() or tracksSilent() changed.
    void recordingNoticeChanged();

private:
    void setState(AppState state) override;

    AppState m_state;
    Recorder *m_recorder;
    SignInFlow m_signIn;
    RecordingFlow m_recordingFlow;
};
