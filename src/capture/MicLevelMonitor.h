#pragma once
// A live 0..1 loudness of the default microphone for the recording screen. It listens through
// its own connection and stream, shares nothing with the recorder, follows the default
// microphone as the recorder does, and shows zero while no microphone is heard.

#include <QObject>
#include <QTimer>

#include <memory>
#include <span>

class MicLevelMonitor : public QObject {
    Q_OBJECT
    Q_PROPERTY(float level READ level NOTIFY levelChanged)

public:
    static constexpr int bufferFrames = 1024;
    // Levels come about 43 times a second; this long without one means no microphone (none
    // chosen, unplugged, or no sound server), and the bar drops to zero.
    static constexpr int quietAfterMs = 500;

    explicit MicLevelMonitor(QObject *parent = nullptr);
    ~MicLevelMonitor() override;

    // Starts metering the default source, replacing any metering already running. A failure
    // (no sound server, no input) is dropped: no level arrives, and a level shown drops to
    // zero.
    Q_INVOKABLE void start();
    // Stops metering and sets `level` to 0.
    Q_INVOKABLE void stop();

    [[nodiscard]] float level() const { return m_level; }

    // min(RMS × 10, 1) over the first channel of interleaved frames, in float arithmetic;
    // 0 when there are no frames.
    [[nodiscard]] static float levelOf(std::span<const float> interleaved, int channels);

signals:
    void levelChanged(float level);

private:
    class Engine;

    void setLevel(float level);
    void applyLevel(quint64 generation, float level);
    void onQuiet();

    float m_level = 0.0f;
    QTimer m_quiet;
    // Levels measured by an engine that has since been stopped are not shown.
    quint64 m_generation = 0;
    std::unique_ptr<Engine> m_engine;
};
