#include "SoundServer.h"

#include "PulseServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <cmath>
#include <numbers>

#include <sys/prctl.h>

// Under /tmp rather than TMPDIR: a unix socket path must stay within 108 bytes.
SoundServer::SoundServer(Options options)
    : m_options(options)
    , m_dir(QStringLiteral("/tmp/tolvex-sound-XXXXXX")) {
    if (!QDir(m_dir.path()).mkpath(QStringLiteral("home")) ||
        !QDir(m_dir.path())
             .mkdir(QStringLiteral("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        m_error = QStringLiteral("cannot prepare the server's folder");
    pointAt(socket());
}

SoundServer::~SoundServer() {
    resume();
    stop();
}

void SoundServer::startDaemon(const QString &program, const QStringList &arguments,
                              const QString &bus) {
    QProcessEnvironment merged = QProcessEnvironment::systemEnvironment();
    merged.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
    merged.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("run")));
    merged.insert(QStringLiteral("XDG_CONFIG_HOME"), path(QStringLiteral("home/.config")));
    // Nothing of the machine's own session: its bus, its sound server, its display.
    for (const char *name : {"DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER", "DISPLAY"})
        merged.remove(QString::fromLatin1(name));
    if (!bus.isEmpty())
        merged.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
    auto &daemon = m_daemons.emplace_back(std::make_unique<QProcess>());
    daemon->setProcessEnvironment(merged);
    daemon->setStandardOutputFile(QProcess::nullDevice());
    daemon->setStandardErrorFile(path(QStringLiteral("daemon.log")), QIODevice::Append);
    // A test that crashes must not leave a daemon behind.
    daemon->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    daemon->start(program, arguments);
}

void SoundServer::stop() {
    for (auto *processes : {&m_daemons, &m_players}) {
        for (auto &process : *processes) {
            process->kill();
            process->waitForFinished(5000);
        }
        processes->clear();
    }
}

void SoundServer::signalDaemons(int signal) {
    for (auto &daemon : m_daemons)
        if (daemon->processId() > 0)
            ::kill(static_cast<pid_t>(daemon->processId()), signal);
}

void SoundServer::start() {
    if (!m_error.isEmpty())
        return;
    launch();
    const QDeadlineTimer deadline(15000);
    while (!QFile::exists(socket()) || !pactl({QStringLiteral("info")})) {
        if (deadline.hasExpired()) {
            m_error = QStringLiteral("no answer; see ") + path(QStringLiteral("daemon.log"));
            return;
        }
        QThread::msleep(50);
    }
    QStringList commands;
    if (m_options.outputs)
        commands << "load-module module-null-sink sink_name=speakers"
                 << "set-default-sink speakers"
                 << "set-default-source speakers.monitor";
    if (m_options.outputs && m_options.microphone)
        commands << "load-module module-null-sink sink_name=micsink"
                 << "load-module module-remap-source source_name=mic master=micsink.monitor"
                 << "set-default-source mic";
    // PipeWire sets defaults only once its session manager runs, which may come after the answer.
    for (const QString &command : commands) {
        bool done = false;
        while (!(done = pactl(command.split(QLatin1Char(' ')))) && !deadline.hasExpired())
            QThread::msleep(100);
        if (!done)
            m_error = QStringLiteral("the server refused: ") + command;
    }
    if (m_options.outputs)
        keepBusy(QString::fromLatin1(speakers));
    if (m_options.outputs && m_options.microphone)
        keepBusy(QString::fromLatin1(micSink));
    settle();
}

bool SoundServer::restart() {
    stop();
    start();
    return isRunning();
}

void SoundServer::startPlayer(const QString &sink, const QString &input, Buffer buffer,
                              const QString &channelMap) {
    auto &player = m_players.emplace_back(std::make_unique<QProcess>());
    player->setStandardInputFile(input);
    player->setStandardOutputFile(QProcess::nullDevice());
    // Without a latency pacat asks for 2 s, and the sound would start that much later.
    const QString latencyMs = buffer == Buffer::short_ ? "20" : "300";
    QStringList arguments{
        "--playback", "--device=" + sink,           "--format=float32le", "--rate=44100",
        "--raw",      "--latency-msec=" + latencyMs};
    if (channelMap.isEmpty())
        arguments << "--channels=2";
    else
        arguments << QStringLiteral("--channels=%1").arg(channelMap.count(QLatin1Char(',')) + 1)
                  << "--channel-map=" + channelMap;
    player->start(QStringLiteral("pacat"), arguments);
    player->waitForStarted(5000);
}

bool SoundServer::suspendSink(const QString &sink, bool suspended) {
    return pactl({"suspend-sink", sink, suspended ? "1" : "0"});
}

void SoundServer::keepBusy(const QString &sink) {
    startPlayer(sink, QStringLiteral("/dev/zero"), Buffer::short_);
}

void SoundServer::play(const QString &sink, const std::vector<float> &interleaved, Buffer buffer,
                       const QString &channelMap) {
    // From a file, so that playing costs this process nothing while it measures or records.
    QFile file(path(QStringLiteral("play-%1.raw").arg(m_players.size())));
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray::fromRawData(reinterpret_cast<const char *>(interleaved.data()),
                                           static_cast<qsizetype>(interleaved.size() * 4)));
    file.close();
    startPlayer(sink, file.fileName(), buffer, channelMap);
}

void SoundServer::settle() {
    // A fresh null sink has rendered 2 s ahead; its monitor runs smoothly once that has passed.
    QThread::msleep(2100);
}

void SoundServer::pointAt(const QString &socket) {
    qputenv("PULSE_SERVER", QFile::encodeName(QStringLiteral("unix:") + socket));
    // The client library would otherwise read the machine's client.conf and cookie.
    qputenv("PULSE_CLIENTCONFIG",
            QFile::encodeName(QFileInfo(socket).absolutePath() + QStringLiteral("/client.conf")));
}

bool SoundServer::pactl(const QStringList &arguments, QString *output) const {
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments);
    const bool ran = process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit;
    if (output)
        *output = QString::fromUtf8(process.readAllStandardOutput());
    return ran && process.exitCode() == 0;
}

int SoundServer::recordingStreams() const {
    QString outputs;
    pactl({"list", "short", "source-outputs"}, &outputs);
    // A module's stream has no client: "-" in the third column.
    return static_cast<int>(outputs.count(
        QRegularExpression("^\\d+\t\\d+\t\\d+\t", QRegularExpression::MultilineOption)));
}

std::vector<float> SoundServer::tone(double hz, double seconds, float amplitude) {
    std::vector<float> samples(static_cast<std::size_t>(seconds * 44100) * 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * hz *
                                                             static_cast<double>(i / 2) / 44100.0));
    return samples;
}

namespace {

// `pipewire` with the WirePlumber session manager and the PulseAudio server `pipewire-pulse`,
// as a desktop runs them, on a private D-Bus session bus (WirePlumber will not run without one).
class PipeWireServer : public SoundServer {
public:
    explicit PipeWireServer(Options options)
        : SoundServer(options) {
        start();
    }

    bool suspendSink(const QString &, bool) override {
        // PipeWire 0.3 starts a suspended sink again at once, tells no client, and from then on
        // hands the streams already on its monitor only silence: nothing a client could follow.
        return true;
    }

private:
    void launch() override {
        // pipewire-pulse listens where the test looks; anyone who reaches the folder may use it.
        const QString drop = path(QStringLiteral("home/.config/pipewire/pipewire-pulse.conf.d"));
        QFile config(drop + QStringLiteral("/tolvex.conf"));
        if (QDir().mkpath(drop) && config.open(QIODevice::WriteOnly))
            config.write(
                "pulse.properties = { server.address = [ \"unix:" + QFile::encodeName(socket()) +
                "\" ] }\n"
                // As PulseAudio does, a stereo stream leaves a low-frequency channel out.
                "stream.properties = { channelmix.mix-lfe = false }\n");
        config.close();
        // Killed daemons leave their sockets behind; the new ones must not be taken for answers.
        const QString bus = path(QStringLiteral("run/bus")),
                      graph = path(QStringLiteral("run/pipewire-0"));
        for (const QString &file : {bus, graph, socket()})
            QFile::remove(file);
        startDaemon(QStringLiteral("dbus-daemon"),
                    {"--session", "--nofork", "--address=unix:path=" + bus});
        startDaemon(QStringLiteral("pipewire"), {}, "unix:path=" + bus);
        // The graph first: the others give up without it. The bus has long been up by then.
        for (const QDeadlineTimer deadline(5000); !QFile::exists(graph) && !deadline.hasExpired();)
            QThread::msleep(20);
        startDaemon(QStringLiteral("wireplumber"), {}, "unix:path=" + bus);
        startDaemon(QStringLiteral("pipewire-pulse"));
    }
};

} // namespace

std::unique_ptr<SoundServer> startSoundServer(SoundServer::Options options) {
    if (qgetenv("TOLVEX_SOUND_SERVER") == "pipewire")
        return std::make_unique<PipeWireServer>(options);
    return std::make_unique<PulseServer>(options);
}
