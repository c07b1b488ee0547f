#include "PulseServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

#include <cmath>
#include <numbers>
#include <signal.h>
#include <sys/prctl.h>

// Under /tmp rather than TMPDIR: a unix socket path must stay within 108 bytes.
PulseServer::PulseServer(Options options)
    : m_options(options)
    , m_dir(QStringLiteral("/tmp/tolvex-pulse-XXXXXX")) {
    const QString root = m_dir.path();
    const QString socket = root + QStringLiteral("/run/native");
    // Anonymous access: the socket lives in a folder only this test can reach.
    QStringList script{QStringLiteral("load-module module-native-protocol-unix "
                                      "auth-anonymous=1 socket=") +
                       socket};
    if (options.outputs)
        script << QStringLiteral("load-module module-null-sink sink_name=speakers")
               << QStringLiteral("set-default-sink speakers")
               << QStringLiteral("set-default-source speakers.monitor");
    if (options.outputs && options.microphone)
        script << QStringLiteral("load-module module-null-sink sink_name=micsink")
               << QStringLiteral("load-module module-remap-source source_name=mic "
                                 "master=micsink.monitor")
               << QStringLiteral("set-default-source mic");
    QFile scriptFile(m_dir.filePath(QStringLiteral("default.pa")));
    if (!m_dir.isValid() || !QDir(root).mkpath(QStringLiteral("home")) ||
        !QDir(root).mkdir(QStringLiteral("run"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) ||
        !scriptFile.open(QIODevice::WriteOnly)) {
        m_error = QStringLiteral("cannot prepare the server's folder");
        return;
    }
    scriptFile.write(script.join(QLatin1Char('\n')).toUtf8() + '\n');
    scriptFile.close();

    qputenv("PULSE_SERVER", QFile::encodeName(QStringLiteral("unix:") + socket));
    // The client library would otherwise read the machine's client.conf and cookie.
    qputenv("PULSE_CLIENTCONFIG", QFile::encodeName(root + QStringLiteral("/client.conf")));
    if (!launch())
        m_error = QStringLiteral("pulseaudio did not answer; see ") + root +
                  QStringLiteral("/daemon.log");
}

bool PulseServer::launch() {
    const QString root = m_dir.path();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), root + QStringLiteral("/run"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/home/.config"));
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    environment.remove(QStringLiteral("PULSE_SERVER"));
    m_daemon.setProcessEnvironment(environment);
    m_daemon.setStandardOutputFile(QProcess::nullDevice());
    m_daemon.setStandardErrorFile(root + QStringLiteral("/daemon.log"), QIODevice::Append);
    // A test that crashes must not leave a daemon behind.
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    // Root is fine for a per-user daemon in a private folder; these flags keep it alive and
    // out of everything the machine's own session might have.
    m_daemon.start(QStringLiteral("pulseaudio"),
                   {"-n", "--daemonize=no", "--system=false", "--use-pid-file=no",
                    "--exit-idle-time=-1", "--disallow-exit", "--disallow-module-loading=no",
                    "--log-target=stderr", "--log-level=warning", "-F",
                    m_dir.filePath(QStringLiteral("default.pa"))});

    const QString socket = root + QStringLiteral("/run/native");
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired() && m_daemon.waitForStarted(10000)) {
        if (QFile::exists(socket) && pactl({QStringLiteral("info")})) {
            if (m_options.outputs)
                keepBusy(QString::fromLatin1(speakers));
            if (m_options.outputs && m_options.microphone)
                keepBusy(QString::fromLatin1(micSink));
            settle();
            return true;
        }
        QThread::msleep(50);
    }
    return false;
}

bool PulseServer::restart() {
    kill();
    stopPlayers();
    return launch();
}

void PulseServer::stopPlayers() {
    for (auto &player : m_players) {
        player->kill();
        player->waitForFinished(5000);
    }
    m_players.clear();
}

void PulseServer::pause() {
    ::kill(static_cast<pid_t>(m_daemon.processId()), SIGSTOP);
}

void PulseServer::resume() {
    ::kill(static_cast<pid_t>(m_daemon.processId()), SIGCONT);
}

PulseServer::~PulseServer() {
    stopPlayers();
    resume();
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(5000))
        kill();
}

void PulseServer::startPlayer(const QString &sink, const QString &input, Buffer buffer) {
    auto player = std::make_unique<QProcess>();
    player->setStandardInputFile(input);
    player->setStandardOutputFile(QProcess::nullDevice());
    player->setStandardErrorFile(QProcess::nullDevice());
    // Without a latency pacat asks for 2 s, and the sound would start that much later.
    const int latencyMs = buffer == Buffer::short_ ? 20 : 300;
    player->start(QStringLiteral("pacat"),
                  {"--playback", "--device=" + sink, "--format=float32le", "--rate=44100",
                   "--channels=2", "--raw", "--latency-msec=" + QString::number(latencyMs)});
    player->waitForStarted(5000);
    m_players.push_back(std::move(player));
}

void PulseServer::keepBusy(const QString &sink) {
    startPlayer(sink, QStringLiteral("/dev/zero"), Buffer::short_);
}

void PulseServer::play(const QString &sink, const std::vector<float> &interleaved, Buffer buffer) {
    // pacat reads the sound from a file, so playing costs this process nothing while it
    // measures or records.
    QFile file(m_dir.filePath(QStringLiteral("play-%1.raw").arg(m_players.size())));
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(reinterpret_cast<const char *>(interleaved.data()),
               static_cast<qint64>(interleaved.size() * sizeof(float)));
    file.close();
    startPlayer(sink, file.fileName(), buffer);
}

void PulseServer::settle() {
    // A fresh null sink has already rendered 2 s ahead; its monitor runs smoothly once that
    // block has passed.
    QThread::msleep(2100);
}

void PulseServer::kill() {
    m_daemon.kill();
    m_daemon.waitForFinished(5000);
}

void PulseServer::pointAtNothing(const QString &folder) {
    qputenv("PULSE_SERVER",
            QFile::encodeName(QStringLiteral("unix:") + folder + "/no-server-here"));
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

QStringList PulseServer::recordingSources() const {
    QString outputs, sources;
    pactl({"list", "short", "source-outputs"}, &outputs);
    pactl({"list", "short", "sources"}, &sources);
    QStringList names;
    for (const QString &output : outputs.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!output.contains(QStringLiteral("protocol-native")))
            continue;
        const QString sourceIndex = output.section(QLatin1Char('\t'), 1, 1);
        for (const QString &source : sources.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            if (source.section(QLatin1Char('\t'), 0, 0) == sourceIndex)
                names << source.section(QLatin1Char('\t'), 1, 1);
        }
    }
    return names;
}

std::vector<float> PulseServer::tone(double hz, double seconds, float amplitude) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * 44100) * 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * hz *
                                                             static_cast<double>(i / 2) / 44100.0));
    return samples;
}
