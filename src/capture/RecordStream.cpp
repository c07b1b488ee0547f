#include "RecordStream.h"

#include "PulseError.h"

#include <pulse/context.h>
#include <pulse/error.h>

namespace {
constexpr std::size_t frameBytes = sizeof(float) * RecordStream::channels;
}

RecordStream::RecordStream(pa_context *context, const char *name, const std::string &device,
                           std::uint32_t fragmentFrames, Consumer consumer)
    : m_device(device)
    , m_consumer(std::move(consumer)) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, sampleRate, channels};
    m_stream.reset(pa_stream_new(context, name, &spec, nullptr));
    if (!m_stream)
        throw PulseError("cannot create a record stream", pa_context_errno(context));
    pa_stream_set_read_callback(m_stream.get(), &RecordStream::readCallback, this);
    pa_stream_set_state_callback(m_stream.get(), &RecordStream::stateCallback, this);

    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = fragmentFrames * static_cast<std::uint32_t>(frameBytes);
    // We follow the chosen device ourselves; a stream moved behind our back would record a
    // device the user did not pick as default.
    const auto flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
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

void RecordStream::onReadable() {
    pa_stream *stream = m_stream.get();
    while (pa_stream_readable_size(stream) > 0) {
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
            m_consumer.onSamples(std::span<const float>(
                static_cast<const float *>(data), static_cast<std::size_t>(frames) * channels));
        }
        pa_stream_drop(stream);
    }
}
