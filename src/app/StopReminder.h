#pragma once
// Notices a recording that was forgotten: once the call it records has ended (its last
// capture stream closed a while ago) or both tracks have heard nothing for long, a notification
// asks whether to stop it. Left unanswered while both tracks stay silent, the recording stops
// and is sent by itself. Sound on either track always keeps it going.

#include "DesktopNotifier.h"
#include "ReminderPace.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <set>

class AppViewModel;

class StopReminder : public QObject {
    Q_OBJECT

public:
    static constexpr const char *stopAction = "stop";
    static constexpr const char *keepAction = "keep";

    // Where the reminder is; only handle() changes it.
    enum class State {
        off,        // nothing is recorded
        listening,  // recording, with nothing to ask about
        callEnding, // the call's last stream closed: the question waits for pace.callEnd
        asking,     // the question shows, unanswered
        stopping,   // the recording was stopped from here
    };

    StopReminder(AppViewModel &viewModel, DesktopNotifier &notifier, ReminderPace pace,
                 QObject *parent = nullptr);

    // Other programs' capture streams, as CallPrompt passes them on.
    void onCaptureOpened(quint32 index, const QString &application);
    void onCaptureClosed(quint32 index);
    void onCapturesForgotten();

private:
    enum class Event {
        recordingStarted,
        recordingEnded,
        callGoesOn,     // a capture stream opened, or the streams can no longer be told
        callEnded,      // the last capture stream closed
        callQuiet,      // pace.callEnd has passed since
        silenceBegan,   // the recorder calls both tracks silent
        soundHeard,     // either track hears something again
        longSilence,    // pace.silenceAsk of silence on both tracks
        endlessSilence, // pace.silenceStop of it
        keepChosen,
        stopChosen,
    };

    void handle(Event event);
    void followState();
    void followSilence();
    void onAction(DesktopNotifier::Kind kind, const QString &action);
    void ask();
    void withdraw();
    void startSilenceTimer(QTimer &timer, std::chrono::milliseconds silence);

    AppViewModel &m_viewModel;
    DesktopNotifier &m_notifier;
    const ReminderPace m_pace;
    State m_state = State::off;
    // Other programs' capture streams that are open, with their applications.
    std::map<quint32, QString> m_streams;
    // The applications of the call this recording follows.
    std::set<QString> m_call;
    // The applications whose call's end the user chose to go on past.
    std::set<QString> m_keptCalls;
    bool m_silent = false;
    // The user chose to go on during this silence: until sound returns, neither asked again
    // nor stopped.
    bool m_silenceKept = false;
    QTimer m_callTimer;
    QTimer m_askTimer;
    QTimer m_stopTimer;
};
