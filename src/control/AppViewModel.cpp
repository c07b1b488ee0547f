#include "AppViewModel.h"

#include <QPointer>

#include <utility>

AppViewModel::AppViewModel(Seams seams, QObject *parent)
    : QObject(parent)
    , m_recorder(seams.recorder)
    , m_signIn(*this, SignInFlow::Settings{.apiBaseUrl = std::move(seams.apiBaseUrl),
                                           .tokenStore = std::move(seams.tokenStore),
                                           .linkOpener = std::move(seams.linkOpener),
                                           .pollInterval = seams.pollInterval,
                                           .signInWaitLimit = seams.signInWaitLimit,
                                           .profileRecheckInterval = seams.profileRecheckInterval})
    , m_recordingFlow(*this, m_signIn,
                      RecordingFlow::Settings{.recorder = seams.recorder,
                                              .recordingsFolder = std::move(seams.recordingsFolder),
                                              .recoversUnsent = seams.recoversUnsent,
                                              .quitWaitLimit = seams.quitWaitLimit,
                                              .firstUnsentPause = seams.firstUnsentPause}) {
    connect(&m_signIn, &SignInFlow::changed, this, &AppViewModel::changed);
    connect(&m_signIn, &SignInFlow::storedTokenLoaded, this, &AppViewModel::storedTokenLoaded);
    // A confirmed sign-in makes way for the recordings an earlier run left unsent.
    connect(&m_signIn, &SignInFlow::profileConfirmed, &m_recordingFlow,
            &RecordingFlow::offerUnsentRecordings);
    connect(&m_recordingFlow, &RecordingFlow::changed, this, &AppViewModel::changed);
    connect(&m_recordingFlow.unsent(), &UnsentQueue::countChanged, this, &AppViewModel::changed);
    connect(&m_recordingFlow.progress(), &UploadProgressThrottle::changed, this,
            &AppViewModel::uploadProgressChanged);
    // The recorder may outlive this view model; a later one takes the listener over.
    m_recorder->setNoticesListener([self = QPointer<AppViewModel>(this)] {
        if (self)
            emit self->recordingNoticeChanged();
    });
    m_signIn.loadStoredToken();
}

AppViewModel::~AppViewModel() = default;

void AppViewModel::setState(AppState state) {
    m_state = std::move(state);
    m_signIn.screenChanged();
    emit changed();
}

QCoro::Task<> AppViewModel::refreshProfile() {
    return m_signIn.checkProfile(false);
}

void AppViewModel::recheckSignIn() {
    m_signIn.recheckSignIn();
}

void AppViewModel::logout() {
    m_signIn.logout();
}

void AppViewModel::startTelegramLogin() {
    m_signIn.startTelegramLogin();
}

void AppViewModel::beginRecording() {
    m_recordingFlow.beginRecording();
}

void AppViewModel::finishRecording() {
    m_recordingFlow.finishRecording();
}

void AppViewModel::uploadRecording() {
    m_recordingFlow.uploadRecording();
}

void AppViewModel::retryUpload() {
    m_recordingFlow.retryUpload();
}

void AppViewModel::cancelUpload() {
    m_recordingFlow.cancelUpload();
}

void AppViewModel::sendUnsentNow() {
    m_recordingFlow.sendUnsentNow();
}

QCoro::Task<bool> AppViewModel::prepareToQuit() {
    return m_recordingFlow.prepareToQuit();
}
