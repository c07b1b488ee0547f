#include "StopReminder.h"

#include "AppViewModel.h"
#include "ProductName.h"
#include "UserTexts.h"

#include <algorithm>

using Kind = DesktopNotifier::Kind;

StopReminder::StopReminder(AppViewModel &viewModel, DesktopNotifier &notifier, ReminderPace pace,
                           QObject *parent)
    : QObject(parent)
    , m_viewModel(viewModel)
    , m_notifier(notifier)
    , m_pace(pace) {
    m_callTimer.setSingleShot(true);
    m_callTimer.setInterval(m_pace.callEnd);
    connect(&m_callTimer, &QTimer::timeout, this, [this] { handle(Event::callQuiet); });
    m_askTimer.setSingleShot(true);
    connect(&m_askTimer, &QTimer::timeout, this, [this] { handle(Event::longSilence); });
    m_stopTimer.setSingleShot(true);
    connect(&m_stopTimer, &QTimer::timeout, this, [this] { handle(Event::endlessSilence); });
    connect(&m_viewModel, &AppViewModel::changed, this, &StopReminder::followState);
    connect(&m_viewModel, &AppViewModel::recordingNoticeChanged, this,
            &StopReminder::followSilence);
    connect(&m_notifier, &DesktopNotifier::actionInvoked, this, &StopReminder::onAction);
    followState();
}

void StopReminder::onCaptureOpened(quint32 index, const QString &application) {
    m_streams[index] = application;
    if (m_state != State::off)
        m_call.insert(application);
    handle(Event::callGoesOn);
}

void StopReminder::onCaptureClosed(quint32 index) {
    if (m_streams.erase(index) > 0 && m_streams.empty())
        handle(Event::callEnded);
}

void StopReminder::onCapturesForgotten() {
    m_streams.clear();
    handle(Event::callGoesOn);
}

void StopReminder::followState() {
    const bool recording = m_viewModel.stateCase() == AppState::Case::recording;
    if (recording && m_state == State::off)
        handle(Event::recordingStarted);
    else if (!recording && m_state != State::off)
        handle(Event::recordingEnded);
    followSilence();
}

void StopReminder::followSilence() {
    const bool silent =
        m_viewModel.stateCase() == AppState::Case::recording && m_viewModel.tracksSilent();
    if (silent != m_silent)
        handle(silent ? Event::silenceBegan : Event::soundHeard);
}

void StopReminder::onAction(DesktopNotifier::Kind kind, const QString &action) {
    if (kind != Kind::stopReminder)
        return;
    if (action == QLatin1String(stopAction))
        handle(Event::stopChosen);
    else if (action == QLatin1String(keepAction))
        handle(Event::keepChosen);
}

void StopReminder::handle(Event event) {
    const bool active = m_state != State::off && m_state != State::stopping;
    // As the popover's stop button, and only where it would be offered.
    const bool canStop =
        m_viewModel.stateCase() == AppState::Case::recording && !m_viewModel.isBusy();
    switch (event) {
    case Event::recordingStarted:
        m_state = State::listening;
        m_call.clear();
        m_keptCalls.clear();
        m_silenceKept = false;
        for (const auto &[index, application] : m_streams)
            m_call.insert(application);
        break;
    case Event::recordingEnded:
        if (m_state == State::asking)
            withdraw();
        m_state = State::off;
        m_callTimer.stop();
        break;
    case Event::callGoesOn:
        if (m_state == State::callEnding) {
            m_callTimer.stop();
            m_state = State::listening;
        }
        break;
    case Event::callEnded:
        if (m_state == State::listening &&
            !std::includes(m_keptCalls.begin(), m_keptCalls.end(), m_call.begin(), m_call.end())) {
            m_callTimer.start();
            m_state = State::callEnding;
        }
        break;
    case Event::callQuiet:
        if (m_state == State::callEnding) {
            ask();
            m_state = State::asking;
        }
        break;
    case Event::silenceBegan:
        m_silent = true;
        startSilenceTimer(m_askTimer, m_pace.silenceAsk);
        startSilenceTimer(m_stopTimer, m_pace.silenceStop);
        break;
    case Event::soundHeard:
        m_silent = false;
        m_silenceKept = false;
        m_askTimer.stop();
        m_stopTimer.stop();
        break;
    case Event::longSilence:
        if ((m_state == State::listening || m_state == State::callEnding) && !m_silenceKept) {
            m_callTimer.stop();
            ask();
            m_state = State::asking;
        }
        break;
    case Event::endlessSilence:
        // Only an unanswered question lets the silence stop the recording.
        if (active && m_silent && !m_silenceKept && canStop) {
            withdraw();
            m_notifier.show(Kind::stoppedInSilence, ProductName::display, stoppedInSilenceText());
            m_state = State::stopping;
            m_viewModel.finishRecording();
        }
        break;
    case Event::keepChosen:
        if (m_state == State::asking) {
            withdraw();
            // A call that has ended is not asked about again, nor is this silence; a silence
            // after sound was heard again asks anew once it has lasted pace.silenceAsk.
            if (m_streams.empty()) {
                m_keptCalls.insert(m_call.begin(), m_call.end());
                m_call.clear();
            }
            m_silenceKept = m_silent;
            m_state = State::listening;
        }
        break;
    case Event::stopChosen:
        if (m_state == State::asking && canStop) {
            withdraw();
            m_state = State::stopping;
            m_viewModel.finishRecording();
        }
        break;
    }
}

void StopReminder::ask() {
    m_notifier.show(Kind::stopReminder, ProductName::display, stopQuestionText(),
                    {{QString::fromLatin1(stopAction), stopAnswerText()},
                     {QString::fromLatin1(keepAction), keepRecordingAnswerText()}});
}

void StopReminder::withdraw() {
    m_notifier.close(Kind::stopReminder);
}

// The recorder calls a track silent only once it has heard nothing for its window.
void StopReminder::startSilenceTimer(QTimer &timer, std::chrono::milliseconds silence) {
    timer.start(std::max(silence - m_pace.silenceWindow, std::chrono::milliseconds(0)));
}
