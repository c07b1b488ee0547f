#include "RecordStream.h"

#include "PulseError.h"

#include <pulse/context.h>
#include <pulse/error.h>

#include <ctime>

namespace {

constexpr std::size_t frameBytes = sizeof(float) * RecordStream::channels;

std::int64_t durationNs(std::int64_t frames) {
    return frames * 1'000'000'000 / RecordStream::sampleRate;
}

// `then`, a reading of the system clock (which the server's reports carry), on the steady clock.
std::int64_t steadyNsOf(const timeval &then) {
    timespec real{};
    clock_gettime(CLOCK_REALTIME, &real);
    const std::int64_t ageNs =
        (static_cast<std::int64_t>(real.tv_sec) - then.tv_sec) * 1'000'000'000 + real.tv_nsec -
        static_cast<std::int64_t>(then.tv_usec) * 1000;
    return steadyNowNs() - ageNs;
}

} // namespace

RecordStream::RecordStream(pa_context *context, const char *name, const std::string &device,
                           std::uint32_t fragmentFrames, Consumer consumer)
    : m_device(device)
    , m_createdNs(steadyNowNs())
    , m_reportsValidFromNs(m_createdNs)
    , m_consumer(std::move(consumer)) {
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, sampleRate, channels};
    m_stream.reset(pa_stream_new(context, name, &spec, nullptr));
    if (!m_stream)
        throw PulseError("cannot create a record stream", pa_context_errno(context));
    pa_stream_set_read_callback(m_stream.get(), &RecordStream::readCallback, this);
    pa_stream_set_state_callback(m_stream.get(), &RecordStream::stateCallback, this);
    pa_stream_set_suspended_callback(m_stream.get(), &RecordStream::suspendedCallback, this);
    // Audio that waits for a timing report is read once it comes.
    pa_stream_set_latency_update_callback(m_stream.get(), &RecordStream::latencyCallback, this);

    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(-1);
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = fragmentFrames * static_cast<std::uint32_t>(frameBytes);
    // We follow the chosen device ourselves; a stream moved behind our back would record a
    // device the user did not pick as default. The server's timing reports date every chunk.
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE | PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_record(m_stream.get(), device.empty() ? nullptr : device.c_str(), &attr,
                                 flags) < 0)
        throw PulseError("cannot connect a record stream", pa_context_errno(context));
}

pa_stream_state_t RecordStream::state() const noexcept {
    return pa_stream_get_state(m_stream.get());
}

void RecordStream::askForReport() {
    m_askedNs = steadyNowNs();
    // The answer arrives through the latency callback; no callback of the operation's own.
    pulse::OperationPtr(pa_stream_update_timing_info(m_stream.get(), nullptr, nullptr));
}

// By the stream's index, not by dates: a report that misjudges the latency still counts every
// frame the server holds.
bool RecordStream::caughtUp() const {
    const std::optional<ServerTiming> timing = report();
    return timing && timing->reportNs >= m_askedNs && m_readFrames >= timing->writeFrame;
}

bool RecordStream::running() const noexcept {
    return state() == PA_STREAM_READY && pa_stream_is_suspended(m_stream.get()) == 0;
}

void RecordStream::readCallback(pa_stream *, size_t, void *self) {
    static_cast<RecordStream *>(self)->onReadable();
}

void RecordStream::latencyCallback(pa_stream *, void *self) {
    static_cast<RecordStream *>(self)->onReadable();
}

void RecordStream::stateCallback(pa_stream *stream, void *self) {
    auto *owner = static_cast<RecordStream *>(self);
    if (owner->m_consumer.onState)
        owner->m_consumer.onState(pa_stream_get_state(stream));
}

// A suspended device delivers nothing, and says so: what it captures after it resumes starts
// where the clock says, as a newly opened stream does, and is dated by reports made since.
void RecordStream::suspendedCallback(pa_stream *stream, void *self) {
    auto *owner = static_cast<RecordStream *>(self);
    if (pa_stream_is_suspended(stream) == 1) {
        owner->m_delivered = false;
        return;
    }
    owner->m_reportsValidFromNs = steadyNowNs();
    const auto waiting = static_cast<std::int64_t>(pa_stream_readable_size(stream));
    owner->m_resumedAtFrame = owner->m_readFrames + waiting / static_cast<std::int64_t>(frameBytes);
}

// The server's timing report ties the stream's frames to the clock: the newest frame its queue
// had taken (the write index) was captured the source's latency before the report, a monitor's
// is heard the sink's latency after it, and each frame before it came one frame's time earlier.
// A chunk's date so depends only on where it sits in the stream, never on when the program got
// round to reading it or on an estimate that settles over time.
std::optional<ServerTiming> RecordStream::report() const {
    const pa_timing_info *info = pa_stream_get_timing_info(m_stream.get());
    if (!info || info->write_index_corrupt)
        return std::nullopt;
    ServerTiming timing;
    timing.reportNs = steadyNsOf(info->timestamp);
    timing.writeFrame = info->write_index / static_cast<std::int64_t>(frameBytes);
    timing.sourceUs = static_cast<std::int64_t>(info->source_usec);
    timing.sinkUs = static_cast<std::int64_t>(info->sink_usec);
    if (timing.reportNs < m_reportsValidFromNs)
        return std::nullopt;
    return timing;
}

void RecordStream::date(CaptureChunk &chunk) const {
    if (const std::optional<ServerTiming> timing = report()) {
        chunk.timing = *timing;
        chunk.captureNs = timing->reportNs - (timing->sourceUs - timing->sinkUs) * 1000 -
                          durationNs(timing->writeFrame - m_readFrames);
        return;
    }
    // No report in time: what waits here is the part of the latency we can see.
    const auto waiting = static_cast<std::int64_t>(pa_stream_readable_size(m_stream.get()));
    chunk.captureNs = chunk.arrivalNs - durationNs(waiting / static_cast<std::int64_t>(frameBytes));
}

void RecordStream::onReadable() {
    pa_stream *stream = m_stream.get();
    // Audio waits in the stream for a report to date it (the server answers within
    // milliseconds, but a busy program may read a backlog before the answer).
    if (!report() && steadyNowNs() - m_reportsValidFromNs < reportWaitNs)
        return;
    while (pa_stream_readable_size(stream) > 0) {
        CaptureChunk chunk;
        chunk.arrivalNs = steadyNowNs();
        chunk.streamFrame = m_readFrames;
        date(chunk);
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
        } else {
            chunk.frames = frames;
            const bool resumed = m_resumedAtFrame && m_readFrames >= *m_resumedAtFrame;
            chunk.streamStart = !m_delivered || resumed;
            m_delivered = true;
            if (resumed)
                m_resumedAtFrame.reset();
            if (m_consumer.onSamples) {
                const auto *samples = static_cast<const float *>(data);
                chunk.samples.assign(samples, samples + frames * channels);
                m_consumer.onSamples(std::move(chunk));
            }
        }
        m_readFrames += frames;
        pa_stream_drop(stream);
    }
}
