#pragma once
// A private sound server for one test process: its own runtime and home folders, a null sink
// "speakers" as the default output and a virtual microphone "mic" fed through the null sink
// "micsink". It points this process (and the pactl/pacat it runs) at itself through
// PULSE_SERVER. Devices and players go through the PulseAudio protocol, which pipewire-pulse
// speaks too; a kind of server (PulseServer, PipeWireServer) only says how its daemons start,
// die and hang. TOLVEX_SOUND_SERVER=pipewire chooses PipeWire.

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
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

    // Plays interleaved stereo float samples at 44100 Hz into a sink, in the background. A long
    // buffer starts later but keeps a player that a busy machine leaves waiting from running dry.
    enum class Buffer { short_, long_ };
    void play(const QString &sink, const std::vector<float> &interleaved,
              Buffer buffer = Buffer::short_);
    // Plays a steady sine into a sink for `seconds` at least; the server itself plays it where
    // it can (module-sine), so that no player can run dry.
    virtual bool playSine(const QString &sink, double hz, double seconds);
    // Suspends a sink, or lets it run again, as a power saver does.
    virtual bool suspendSink(const QString &sink, bool suspended);
    // Plays silence into a sink for as long as the server runs: a null sink with no low-latency
    // client feeds its monitor in 2 s bursts, as a real sink under a call does not.
    void keepBusy(const QString &sink);
    // Waits until sinks made busy just now feed their monitors smoothly.
    static void settle();

    // The daemon dies at once, as in a crash.
    virtual void kill() = 0;
    // The daemon stops answering while keeping its connections open, and answers again.
    virtual void pause() = 0;
    virtual void resume() = 0;
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
    // Starts the daemon on socket() with its files under path(); it need not answer yet.
    virtual void launch() = 0;
    [[nodiscard]] QString path(const QString &name) const { return m_dir.filePath(name); }
    [[nodiscard]] QString socket() const { return path(QStringLiteral("run/native")); }

private:
    void startPlayer(const QString &sink, const QString &input, Buffer buffer);
    void stopPlayers();

    Options m_options;
    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<QProcess>> m_players;
    QString m_error;
};

// The server the capture tests run on: PulseAudio, or PipeWire if TOLVEX_SOUND_SERVER says so.
std::unique_ptr<SoundServer> startSoundServer(SoundServer::Options options = {});
