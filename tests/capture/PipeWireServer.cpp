#include "PipeWireServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <signal.h>
#include <sys/prctl.h>

PipeWireServer::PipeWireServer(Options options)
    : SoundServer(options) {
    start();
}

PipeWireServer::~PipeWireServer() {
    resume();
    kill();
    m_bus.kill();
    m_bus.waitForFinished(5000);
}

void PipeWireServer::startDaemon(QProcess &daemon, const QString &program,
                                 const QStringList &arguments) {
    daemon.setProcessEnvironment(m_environment);
    daemon.setStandardOutputFile(QProcess::nullDevice());
    daemon.setStandardErrorFile(path(QStringLiteral("daemon.log")), QIODevice::Append);
    // A test that crashes must not leave a daemon behind.
    daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    daemon.start(program, arguments);
}

void PipeWireServer::launch() {
    if (m_bus.state() == QProcess::NotRunning) {
        m_environment = QProcessEnvironment::systemEnvironment();
        m_environment.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
        m_environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("run")));
        m_environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                             path(QStringLiteral("home/.config")));
        m_environment.remove(QStringLiteral("PULSE_SERVER"));
        m_environment.remove(QStringLiteral("DISPLAY"));
        const QString bus = path(QStringLiteral("run/bus"));
        m_environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), "unix:path=" + bus);
        // The PulseAudio socket where the test looks for it; anyone who reaches the private
        // folder may use it.
        const QString drop = path(QStringLiteral("home/.config/pipewire/pipewire-pulse.conf.d"));
        QDir().mkpath(drop);
        QFile config(drop + QStringLiteral("/tolvex.conf"));
        if (config.open(QIODevice::WriteOnly))
            config.write("pulse.properties = { server.address = [ \"unix:" +
                         QFile::encodeName(socket()) + "\" ] }\n");
        config.close();
        startDaemon(m_bus, QStringLiteral("dbus-daemon"),
                    {"--session", "--nofork", "--address=unix:path=" + bus});
        const QDeadlineTimer deadline(5000);
        while (!QFile::exists(bus) && !deadline.hasExpired())
            QThread::msleep(20);
    }
    // A killed daemon leaves its socket; waiting for the new one must not find the old.
    const QString graph = path(QStringLiteral("run/pipewire-0"));
    QFile::remove(graph);
    QFile::remove(socket());
    startDaemon(m_daemons[0], QStringLiteral("pipewire"));
    const QDeadlineTimer deadline(5000);
    while (!QFile::exists(graph) && !deadline.hasExpired())
        QThread::msleep(20);
    startDaemon(m_daemons[1], QStringLiteral("wireplumber"));
    startDaemon(m_daemons[2], QStringLiteral("pipewire-pulse"));
}

void PipeWireServer::kill() {
    for (QProcess &daemon : m_daemons) {
        daemon.kill();
        daemon.waitForFinished(5000);
    }
}

void PipeWireServer::signal(int number) {
    // The graph and its PulseAudio server; the session manager has nothing to answer.
    for (QProcess *daemon : {&m_daemons[0], &m_daemons[2]}) {
        if (daemon->processId() > 0)
            ::kill(static_cast<pid_t>(daemon->processId()), number);
    }
}

void PipeWireServer::pause() {
    signal(SIGSTOP);
}

void PipeWireServer::resume() {
    signal(SIGCONT);
}

bool PipeWireServer::suspendSink(const QString &, bool) {
    // PipeWire 0.3 starts a suspended sink again at once, tells no client, and from then on
    // hands the streams already on its monitor only silence: nothing a client could follow.
    return true;
}

bool PipeWireServer::playSine(const QString &sink, double hz, double seconds) {
    // pipewire-pulse has no module-sine: a player with a long buffer stands in for it.
    play(sink, tone(hz, seconds, 0.5f), Buffer::long_);
    return true;
}
