#include "PulseServer.h"

#include <QFile>

#include <signal.h>
#include <sys/prctl.h>

PulseServer::PulseServer(Options options)
    : SoundServer(options) {
    start();
}

PulseServer::~PulseServer() {
    resume();
    kill();
}

void PulseServer::launch() {
    // Anonymous access: the socket lives in a folder only this test can reach.
    QFile script(path(QStringLiteral("default.pa")));
    if (script.open(QIODevice::WriteOnly))
        script.write("load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                     QFile::encodeName(socket()) + '\n');
    script.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("run")));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("home/.config")));
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    environment.remove(QStringLiteral("PULSE_SERVER"));
    m_daemon.setProcessEnvironment(environment);
    m_daemon.setStandardOutputFile(QProcess::nullDevice());
    m_daemon.setStandardErrorFile(path(QStringLiteral("daemon.log")), QIODevice::Append);
    // A test that crashes must not leave a daemon behind.
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    // Root is fine for a per-user daemon in a private folder; these flags keep it alive and
    // out of everything the machine's own session might have.
    m_daemon.start(QStringLiteral("pulseaudio"),
                   {"-n", "--daemonize=no", "--system=false", "--use-pid-file=no",
                    "--exit-idle-time=-1", "--disallow-exit", "--disallow-module-loading=no",
                    "--log-target=stderr", "--log-level=warning", "-F", script.fileName()});
}

void PulseServer::kill() {
    m_daemon.kill();
    m_daemon.waitForFinished(5000);
}

void PulseServer::pause() {
    if (m_daemon.processId() > 0)
        ::kill(static_cast<pid_t>(m_daemon.processId()), SIGSTOP);
}

void PulseServer::resume() {
    if (m_daemon.processId() > 0)
        ::kill(static_cast<pid_t>(m_daemon.processId()), SIGCONT);
}
