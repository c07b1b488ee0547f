#pragma once
// A private sound server for one test process: its own runtime and home folders, a null sink
// "speakers" as the default output and a virtual microphone "mic" fed through the null sink
// "micsink"; this process (and its pactl/pacat) reach it through PULSE_SERVER. All goes through
// the PulseAudio protocol, which pipewire-pulse speaks too; a kind (PulseServer, or PipeWire
// when TOLVEX_SOUND_SERVER=pipewire) only says how its daemons start.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <signal.h>
#include <vector>

class SoundServer {
public:
    struct Options {
        bool outputs = true;    // without: a server that has no sink at all
        bool microphone = true; // without: the default source is the monitor of "speakers"
    };
    static constexpr const char *speakers = "speakers";
    static constexpr const char *micSink = "micsink";

    virtual ~SoundServer();

    // True when the daemon answered at start; otherwise error() says why.
    [[nodiscard]] bool isRunning() const { return m_error.isEmpty(); }
    [[nodiscard]] QString error() const { return m_error; }
    bool pactl(const QStringList &arguments, QString *output = nullptr) const;
    // Record streams of clients; a module's own (the microphone's remapping) do not count.
    [[nodiscard]] int recordingStreams() const;

    // Plays interleaved float samples at 44100 Hz into a sink, in the background: stereo, or the
    // channels `channelMap` names ("front-left,front-right,lfe"). A long buffer starts later
    // but keeps a player that a busy machine leaves waiting from running dry.
    enum class Buffer { short_, long_ };
    void play(const QString &sink, const std::vector<float> &interleaved,
              Buffer buffer = Buffer::short_, const QString &channelMap = {});
    // Suspends a sink, or lets it run again, as a power saver does.
    virtual bool suspendSink(const QString &sink, bool suspended);
    // Plays silence into a sink for as long as the server runs: a null sink with no low-latency
    // client feeds its monitor in 2 s bursts, as a real sink under a call does not.
    void keepBusy(const QString &sink);
    // Waits until sinks made busy just now feed their monitors smoothly.
    static void settle();

    // The daemons stop answering while keeping their connections open, and answer again.
    void pause() { signalDaemons(SIGSTOP); }
    void resume() { signalDaemons(SIGCONT); }
    // New daemons on the same socket with the same devices, as when the service manager
    // restarts a server that died; the old one's players are gone. False if it does not answer.
    bool restart();

    // Points this process at a server socket: one that does not exist, or a test's own.
    static void pointAt(const QString &socket);
    // A stereo sine on both channels.
    [[nodiscard]] static std::vector<float> tone(double hz, double seconds, float amplitude);

protected:
    explicit SoundServer(Options options);
    // Starts the daemon, waits for its answer and makes the devices; the kind's constructor calls
    // it.
    void start();
    // Starts the daemons on socket() with their files under path(); they need not answer yet.
    virtual void launch() = 0;
    // Starts a daemon in the private folders (on `bus` if given); it dies with the test.
    void startDaemon(const QString &program, const QStringList &arguments = {},
                     const QString &bus = {});
    [[nodiscard]] QString path(const QString &name) const { return m_dir.filePath(name); }
    [[nodiscard]] QString socket() const { return path(QStringLiteral("run/native")); }

private:
    void startPlayer(const QString &sink, const QString &input, Buffer buffer,
                     const QString &channelMap = {});
    // The daemons and the players die at once, as in a crash.
    void stop();
    void signalDaemons(int signal);

    Options m_options;
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_daemons, m_players;
    QString m_error;
};

// The server the capture tests run on: PulseAudio, or PipeWire if TOLVEX_SOUND_SERVER says so.
std::unique_ptr<SoundServer> startSoundServer(SoundServer::Options options = {});
