#pragma once
// A private PulseAudio daemon for one test process: its own runtime and home folders, a null
// sink "speakers" as the default output and a virtual microphone "mic" fed through the null
// sink "micsink". It points this process (and the pactl/pacat it runs) at itself through
// PULSE_SERVER, and is stopped and cleaned up when the object goes away.

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

class PulseServer {
public:
    struct Options {
        bool outputs = true;    // without: a server that has no sink at all
        bool microphone = true; // without: the default source is the monitor of "speakers"
    };

    static constexpr const char *speakers = "speakers";
    static constexpr const char *micSink = "micsink";

    PulseServer()
        : PulseServer(Options{}) {}
    explicit PulseServer(Options options);
    ~PulseServer();
    PulseServer(const PulseServer &) = delete;
    PulseServer &operator=(const PulseServer &) = delete;

    // True when the daemon answered at start; otherwise error() says why.
    [[nodiscard]] bool isRunning() const { return m_error.isEmpty(); }
    [[nodiscard]] QString error() const { return m_error; }

    bool pactl(const QStringList &arguments, QString *output = nullptr) const;
    // The sources the clients' streams record from, one per stream; a module's own streams
    // (the microphone's remapping) are not among them.
    [[nodiscard]] QStringList recordingSources() const;
    // Plays interleaved stereo float samples at 44100 Hz into a sink, in the background. A
    // short buffer starts the sound when it is played; a long one keeps a player that a busy
    // machine leaves waiting from running dry, for tests that need every sample of a tone.
    enum class Buffer { short_, long_ };
    void play(const QString &sink, const std::vector<float> &interleaved,
              Buffer buffer = Buffer::short_);
    // Plays silence into a sink for as long as the server runs. A null sink with no
    // low-latency client renders 2 s ahead and feeds its monitor in 2 s bursts; a real sink
    // under a call does not, so the tests keep their sinks this way.
    void keepBusy(const QString &sink);
    // Waits until sinks made busy just now feed their monitors smoothly.
    static void settle();
    // The daemon dies at once, as in a crash.
    void kill();
    // The daemon dies and a new one starts on the same socket, as when the service manager
    // restarts the sound server: the players of the old one are gone, the sinks are kept busy
    // again. False when the new one does not answer.
    bool restart();
    // The daemon stops answering while keeping its connections open, and answers again.
    void pause();
    void resume();
    // Points this process at a server socket that does not exist.
    static void pointAtNothing(const QString &folder);

    // A stereo sine on both channels.
    [[nodiscard]] static std::vector<float> tone(double hz, double seconds, float amplitude);

private:
    bool launch();
    void startPlayer(const QString &sink, const QString &input, Buffer buffer);
    void stopPlayers();

    Options m_options;
    QTemporaryDir m_dir;
    QProcess m_daemon;
    std::vector<std::unique_ptr<QProcess>> m_players;
    QString m_error;
};
