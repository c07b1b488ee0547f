#include "PulseServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <cmath>
#include <numbers>
#include <signal.h>
#include <sys/prctl.h>

namespace {

QString moduleScript(const QString &socket, PulseServer::Options options) {
    QStringList lines;
    // Anonymous access: the socket lives in a folder only this test can reach.
    lines << QStringLiteral("load-module module-native-protocol-unix auth-anonymous=1 socket=%1")
                 .arg(socket);
    if (options.outputs) {
        lines << QStringLiteral("load-module module-null-sink sink_name=%1")
                     .arg(PulseServer::speakers)
              << QStringLiteral("set-default-sink %1").arg(PulseServer::speakers);
    }
    if (options.outputs && options.microphone) {
        lines
            << QStringLiteral("load-module module-null-sink sink_name=%1").arg(PulseServer::micSink)
            << QStringLiteral("load-module module-remap-source source_name=%1 master=%2.monitor")
                   .arg(PulseServer::microphone, PulseServer::micSink)
            << QStringLiteral("set-default-source %1").arg(PulseServer::microphone);
    } else if (options.outputs) {
        lines << QStringLiteral("set-default-source %1.monitor").arg(PulseServer::speakers);
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QStringList playerArguments(const QString &sink) {
    return {QStringLiteral("--playback"), QStringLiteral("--device=") + sink,
            QStringLiteral("--format=float32le"), QStringLiteral("--rate=44100"),
            QStringLiteral("--channels=2"), QStringLiteral("--raw"),
            // Short buffers, so the sound starts when it is played, not 2 s later.
            QStringLiteral("--latency-msec=20")};
}

} // namespace

PulseServer::PulseServer()
    : PulseServer(Options{}) {}

// Under /tmp rather than TMPDIR: a unix socket path must stay within 108 bytes.
PulseServer::PulseServer(Options options)
    : m_dir(QStringLiteral("/tmp/tolvex-pulse-XXXXXX")) {
    start(options);
}

PulseServer::~PulseServer() {
    stop();
}

void PulseServer::start(Options options) {
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return;
    }
    const QString root = m_dir.path();
    QDir().mkpath(root + QStringLiteral("/home"));
    QDir().mkpath(root + QStringLiteral("/run"));
    QFile::setPermissions(root + QStringLiteral("/run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString socket = root + QStringLiteral("/run/native");
    const QString script = root + QStringLiteral("/default.pa");
    QFile scriptFile(script);
    if (!scriptFile.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("cannot write the module script");
        return;
    }
    scriptFile.write(moduleScript(socket, options).toUtf8());
    scriptFile.close();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/run"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/home/.config"));
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    environment.remove(QStringLiteral("PULSE_SERVER"));
    m_daemon.setProcessEnvironment(environment);
    m_daemon.setStandardOutputFile(QProcess::nullDevice());
    m_daemon.setStandardErrorFile(root + QStringLiteral("/daemon.log"));
    // A test that crashes must not leave a daemon behind.
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    // Root is fine for a per-user daemon in a private folder; these flags keep it alive and
    // out of everything the machine's own session might have.
    m_daemon.start(QStringLiteral("pulseaudio"),
                   {"-n", "--daemonize=no", "--system=false", "--use-pid-file=no",
                    "--exit-idle-time=-1", "--disallow-exit", "--disallow-module-loading=no",
                    "--log-target=stderr", "--log-level=warning", "-F", script});
    if (!m_daemon.waitForStarted(10000)) {
        m_error = QStringLiteral("pulseaudio does not start: ") + m_daemon.errorString();
        return;
    }
    qputenv("PULSE_SERVER", QStringLiteral("unix:%1").arg(socket).toUtf8());
    // The client library would otherwise read the machine's client.conf and cookie.
    qputenv("PULSE_CLIENTCONFIG", QFile::encodeName(root + QStringLiteral("/client.conf")));

    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired()) {
        if (m_daemon.state() != QProcess::Running)
            break;
        if (QFile::exists(socket) && pactl({QStringLiteral("info")})) {
            m_running = true;
            if (options.outputs)
                keepBusy(QString::fromLatin1(speakers));
            if (options.outputs && options.microphone)
                keepBusy(QString::fromLatin1(micSink));
            settle();
            return;
        }
        QThread::msleep(50);
    }
    m_error =
        QStringLiteral("pulseaudio did not answer; see ") + root + QStringLiteral("/daemon.log");
}

void PulseServer::keepBusy(const QString &sink) {
    auto player = std::make_unique<QProcess>();
    player->setStandardInputFile(QStringLiteral("/dev/zero"));
    player->setStandardOutputFile(QProcess::nullDevice());
    player->setStandardErrorFile(QProcess::nullDevice());
    player->start(QStringLiteral("pacat"), playerArguments(sink));
    player->waitForStarted(5000);
    m_keepalives.push_back(std::move(player));
}

void PulseServer::settle() {
    // A fresh null sink has already rendered 2 s ahead; its monitor runs smoothly once that
    // block has passed.
    QThread::msleep(2100);
}

void PulseServer::stop() {
    for (auto &player : m_keepalives) {
        player->kill();
        player->waitForFinished(5000);
    }
    m_keepalives.clear();
    for (auto &player : m_players) {
        player->kill();
        player->waitForFinished(5000);
    }
    m_players.clear();
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000)) {
            m_daemon.kill();
            m_daemon.waitForFinished(5000);
        }
    }
    m_running = false;
}

void PulseServer::kill() {
    m_daemon.kill();
    m_daemon.waitForFinished(5000);
    m_running = false;
}

void PulseServer::pointAtNothing(const QString &folder) {
    qputenv("PULSE_SERVER", QStringLiteral("unix:%1/no-server-here").arg(folder).toUtf8());
    qputenv("PULSE_CLIENTCONFIG", QFile::encodeName(folder + QStringLiteral("/client.conf")));
}

bool PulseServer::pactl(const QStringList &arguments, QString *output) const {
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit)
        return false;
    if (output)
        *output = QString::fromUtf8(process.readAllStandardOutput());
    return process.exitCode() == 0;
}

void PulseServer::play(const QString &sink, const std::vector<float> &interleaved) {
    // pacat reads the sound from a file, so playing costs this process nothing while it
    // measures or records.
    const QString path = m_dir.filePath(QStringLiteral("play-%1.raw").arg(m_players.size()));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(reinterpret_cast<const char *>(interleaved.data()),
               static_cast<qint64>(interleaved.size() * sizeof(float)));
    file.close();
    auto player = std::make_unique<QProcess>();
    player->setStandardInputFile(path);
    player->setStandardOutputFile(QProcess::nullDevice());
    player->start(QStringLiteral("pacat"), playerArguments(sink));
    player->waitForStarted(5000);
    m_players.push_back(std::move(player));
}

void PulseServer::waitForPlayback() {
    for (auto &player : m_players)
        player->waitForFinished(60000);
    m_players.clear();
}

std::vector<float> PulseServer::tone(double hz, double seconds, float amplitude) {
    const auto frames = static_cast<std::size_t>(seconds * 44100);
    std::vector<float> samples(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto value = static_cast<float>(
            amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / 44100.0));
        samples[i * 2] = value;
        samples[i * 2 + 1] = value;
    }
    return samples;
}
