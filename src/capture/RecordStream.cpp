#include "RecordStream.h"

#include "CaptureChunk.h"
#include "PulseError.h"

#include <pulse/context.h>
#include <pulse/error.h>

namespace {
constexpr std::size_t frameBytes = sizeof(float) * RecordStream::channels;
}

RecordStream::RecordStream(pa_context *context, const char *name, const std::string &device,
                           std::uint32_t fragmentFrames, Consumer consumer)
    : m_device(device)
    , m_createdNs(steadyNowNs())
    , m_consumer(std::move(consumer)) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, sampleRate, channels};
    m_stream.reset(pa_stream_new(context, name, &spec, nullptr));
    if (!m_stream)
        throw PulseError("cannot create a record stream", pa_context_errno(context));
    pa_stream_set_read_callback(m_stream.get(), &RecordStream::readCallback, this);
    pa_stream_set_state_callback(m_stream.get(), &RecordStream::stateCallback, this);
    pa_stream_set_suspended_callback(m_stream.get(), &RecordStream::suspendedCallback, this);

    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = fragmentFrames * static_cast<std::uint32_t>(frameBytes);
    // We follow the chosen device ourselves; a stream moved behind our back would record a
    // device the user did not pick as default. The timing flags keep the latency current, which
    // dates every chunk.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                       PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_record(m_stream.get(), device.empty() ? nullptr : device.c_str(), &attr,
                                 flags) < 0)
        throw PulseError("cannot connect a record stream", pa_context_errno(context));
}

pa_stream_state_t RecordStream::state() const noexcept {
    return pa_stream_get_state(m_stream.get());
}

void RecordStream::readCallback(pa_stream *, size_t, void *self) {
    static_cast<RecordStream *>(self)->onReadable();
}

void RecordStream::stateCallback(pa_stream *stream, void *self) {
    auto *owner = static_cast<RecordStream *>(self);
    if (owner->m_consumer.onState)
        owner->m_consumer.onState(pa_stream_get_state(stream));
}

// A suspended device delivers nothing, and says so: what it captures after it resumes starts
// where the clock says, as a newly opened stream does.
void RecordStream::suspendedCallback(pa_stream *stream, void *self) {
    if (pa_stream_is_suspended(stream) == 1)
        static_cast<RecordStream *>(self)->m_delivered = false;
}

// The latency of a record stream is how long ago the next frame to be read was captured: it
// covers the device, the server's queue and what waits here, so audio held up anywhere on the
// way keeps its true time.
std::int64_t RecordStream::captureTimeOfNextFrame(std::int64_t nowNs) const {
    pa_usec_t latency = 0;
    int negative = 0;
    if (pa_stream_get_latency(m_stream.get(), &latency, &negative) == 0) {
        const auto latencyNs = static_cast<std::int64_t>(latency) * 1000;
        return negative ? nowNs + latencyNs : nowNs - latencyNs;
    }
    // No timing from the server yet (the first moments of a stream): what waits here is the
    // part of the latency we can see.
    const auto waiting = static_cast<std::int64_t>(pa_stream_readable_size(m_stream.get()));
    return nowNs - waiting / static_cast<std::int64_t>(frameBytes) * 1'000'000'000 / sampleRate;
}

void RecordStream::onReadable() {
    pa_stream *stream = m_stream.get();
    while (pa_stream_readable_size(stream) > 0) {
        const std::int64_t nowNs = steadyNowNs();
        const std::int64_t captureNs = captureTimeOfNextFrame(nowNs);
        const void *data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0)
            return;
        if (bytes == 0)
            return;
        const auto frames = static_cast<std::int64_t>(bytes / frameBytes);
        if (!data) {
            // The server skipped this stretch: it still took time, so it is heard as silence.
            if (m_consumer.onHole)
                m_consumer.onHole(frames);
        } else if (m_consumer.onSamples) {
            m_consumer.onSamples(
                std::span<const float>(static_cast<const float *>(data),
                                       static_cast<std::size_t>(frames) * channels),
                captureNs, nowNs, !m_delivered);
            m_delivered = true;
        }
        pa_stream_drop(stream);
    }
}
