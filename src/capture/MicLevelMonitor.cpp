#include "MicLevelMonitor.h"

#include "PulseCapture.h"
#include "PulseError.h"

#include <QMetaObject>

#include <algorithm>
#include <cmath>
#include <vector>

// The monitor's own capture of the microphone. Its chunks arrive on the "tolvex.level" thread,
// which only posts a number to the monitor's thread.
class MicLevelMonitor::Engine {
public:
    Engine(MicLevelMonitor *monitor, quint64 generation)
        : m_monitor(monitor)
        , m_generation(generation)
        , m_capture(PulseCapture::Setup{"tolvex.level", PulseCapture::Sources::microphoneOnly,
                                        bufferFrames}) {
        // Neither answer is awaited: the stream opens whenever a microphone is there.
        (void)m_capture.connect();
        (void)m_capture.open([this](CaptureChunk &&chunk) { take(chunk); });
    }

    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

private:
    // The server's fragments need not be exactly 1024 frames; the level is taken per 1024.
    void take(const CaptureChunk &chunk) {
        if (chunk.kind != CaptureChunk::Kind::audio)
            return;
        m_pending.insert(m_pending.end(), chunk.samples.begin(), chunk.samples.end());
        const std::size_t block = static_cast<std::size_t>(bufferFrames) * RecordStream::channels;
        std::size_t offset = 0;
        while (m_pending.size() - offset >= block) {
            const float level = MicLevelMonitor::levelOf(
                std::span<const float>(m_pending).subspan(offset, block), RecordStream::channels);
            offset += block;
            MicLevelMonitor *monitor = m_monitor;
            const quint64 generation = m_generation;
            // The monitor is the context object: a posted level dies with it.
            QMetaObject::invokeMethod(
                monitor, [monitor, generation, level] { monitor->applyLevel(generation, level); },
                Qt::QueuedConnection);
        }
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(offset));
    }

    MicLevelMonitor *m_monitor;
    quint64 m_generation;
    std::vector<float> m_pending;
    // Last, so it is closed first: its thread feeds m_pending.
    PulseCapture m_capture;
};

MicLevelMonitor::MicLevelMonitor(QObject *parent)
    : QObject(parent) {
    m_quiet.setSingleShot(true);
    m_quiet.setInterval(quietAfterMs);
    connect(&m_quiet, &QTimer::timeout, this, &MicLevelMonitor::onQuiet);
}

// The engine goes first, so no callback is running once the QObject part is torn down.
MicLevelMonitor::~MicLevelMonitor() {
    m_engine.reset();
}

void MicLevelMonitor::start() {
    ++m_generation;
    m_engine.reset();
    try {
        m_engine = std::make_unique<Engine>(this, m_generation);
    } catch (const PulseError &) {
        // Metering is a courtesy; a recording must not fail for want of it.
    }
    m_quiet.start();
}

void MicLevelMonitor::stop() {
    ++m_generation;
    m_engine.reset();
    m_quiet.stop();
    setLevel(0.0f);
}

float MicLevelMonitor::levelOf(std::span<const float> interleaved, int channels) {
    if (channels <= 0)
        return 0.0f;
    const std::size_t frames = interleaved.size() / static_cast<std::size_t>(channels);
    if (frames == 0)
        return 0.0f;
    float sumOfSquares = 0.0f;
    for (std::size_t i = 0; i < frames; ++i) {
        const float sample = interleaved[i * static_cast<std::size_t>(channels)];
        sumOfSquares += sample * sample;
    }
    const float rms = std::sqrt(sumOfSquares / static_cast<float>(frames));
    return std::min(rms * 10.0f, 1.0f);
}

void MicLevelMonitor::setLevel(float level) {
    m_level = level;
    emit levelChanged(level);
}

void MicLevelMonitor::applyLevel(quint64 generation, float level) {
    if (generation != m_generation)
        return;
    setLevel(level);
    m_quiet.start();
}

void MicLevelMonitor::onQuiet() {
    if (m_level != 0.0f)
        setLevel(0.0f);
}
