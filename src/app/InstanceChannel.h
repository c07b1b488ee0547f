#pragma once
// The running copy's name on the session bus, through which a second start asks it to show
// its window instead of doing nothing, and `tolvex --toggle` (or a key bound to it) asks it to
// start or stop a recording.

#include <QDBusContext>
#include <QObject>
#include <QString>

#include <functional>

class InstanceChannel : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "ru.tolvex.Tolvex")

public:
    static constexpr const char *serviceName = "ru.tolvex.Tolvex";
    static constexpr const char *objectPath = "/ru/tolvex/Tolvex";
    // The error a command that could not be done answers with; its message says why.
    static constexpr const char *notDoneError = "ru.tolvex.Tolvex.Error.NotDone";

    enum class Command { toggle, start, stop, status };
    // What a command did, in one line for the terminal; `done` false when nothing could be.
    struct Outcome {
        bool done = false;
        QString text;
    };
    using Handler = std::function<Outcome(Command)>;

    // Takes the name when the session has a bus; a copy without it still runs.
    explicit InstanceChannel(Handler handler, QObject *parent = nullptr);
    ~InstanceChannel() override;
    InstanceChannel(const InstanceChannel &) = delete;
    InstanceChannel &operator=(const InstanceChannel &) = delete;

    // From the second copy: true when the running copy got the request.
    [[nodiscard]] static bool askRunningCopyToShow();
    // From a command line: what the running copy did, or that none runs.
    [[nodiscard]] static Outcome askRunningCopy(Command command);

public slots:
    Q_SCRIPTABLE void Show();
    Q_SCRIPTABLE QString Toggle();
    Q_SCRIPTABLE QString Start();
    Q_SCRIPTABLE QString Stop();
    Q_SCRIPTABLE QString Status();

signals:
    void showRequested();

private:
    QString run(Command command);

    Handler m_handler;
    bool m_owned = false;
};
