#include "MicLevelMonitor.h"

#include "PulseError.h"
#include "PulseHandles.h"
#include "PulseMainLoop.h"
#include "RecordStream.h"

#include <QMetaObject>

#include <algorithm>
#include <cmath>
#include <vector>

// The monitor's own connection and stream. Its callbacks run on the "tolvex.level" thread and
// only post a number to the monitor's thread.
class MicLevelMonitor::Engine {
public:
    Engine(MicLevelMonitor *monitor, quint64 generation)
        : m_monitor(monitor)
        , m_generation(generation)
        , m_loop("tolvex.level") {
        m_context.reset(pa_context_new(m_loop.api(), "Tolvex"));
        if (!m_context)
            throw PulseError("cannot create a sound server connection", PA_ERR_INTERNAL);
        pa_context_set_state_callback(m_context.get(), &Engine::contextStateCallback, this);
        if (pa_context_connect(m_context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            throw PulseError("cannot reach the sound server", pa_context_errno(m_context.get()));
        m_loop.start();
    }

    ~Engine() {
        {
            PulseLock lock(m_loop);
            m_stream.reset();
            m_context.reset();
        }
        m_loop.stop();
    }

    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

private:
    static void contextStateCallback(pa_context *context, void *self) {
        if (pa_context_get_state(context) == PA_CONTEXT_READY)
            static_cast<Engine *>(self)->openStream();
    }

    void openStream() {
        RecordStream::Consumer consumer;
        consumer.onSamples = [this](std::span<const float> samples) { take(samples); };
        try {
            m_stream =
                std::make_unique<RecordStream>(m_context.get(), "Tolvex: уровень микрофона",
                                               std::string(), bufferFrames, std::move(consumer));
        } catch (const PulseError &) {
            // No input to meter: the bar simply stays where it is.
        }
    }

    // The server's fragments need not be exactly 1024 frames; the level is taken per 1024.
    void take(std::span<const float> samples) {
        m_pending.insert(m_pending.end(), samples.begin(), samples.end());
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
    PulseMainLoop m_loop;
    pulse::ContextPtr m_context;
    std::unique_ptr<RecordStream> m_stream;
    std::vector<float> m_pending;
};

MicLevelMonitor::MicLevelMonitor(QObject *parent)
    : QObject(parent) {}

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
}

void MicLevelMonitor::stop() {
    ++m_generation;
    m_engine.reset();
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
    if (generation == m_generation)
        setLevel(level);
}
