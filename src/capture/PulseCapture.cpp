#include "PulseCapture.h"

#include "PulseError.h"

#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/timeval.h>

namespace {

std::string orEmpty(const char *text) {
    return text ? std::string(text) : std::string();
}

} // namespace

PulseCapture::PulseCapture()
    : m_loop("tolvex.audio") {}

PulseCapture::~PulseCapture() {
    close();
}

QFuture<PulseCapture::Discovery> PulseCapture::connect() {
    QPromise<Discovery> promise;
    promise.start();
    QFuture<Discovery> future = promise.future();
    m_discovery.emplace(std::move(promise));
    // The loop is not running yet, so no lock is needed until start().
    connectContext();
    m_loop.start();
    return future;
}

QFuture<bool> PulseCapture::open(ChunkSink sink) {
    QPromise<bool> promise;
    promise.start();
    QFuture<bool> future = promise.future();
    PulseLock lock(m_loop);
    m_sink = std::move(sink);
    m_capturing = true;
    m_opening.emplace(std::move(promise));
    syncStreams();
    return future;
}

void PulseCapture::close() noexcept {
    {
        PulseLock lock(m_loop);
        m_capturing = false;
        if (m_retry) {
            m_loop.api()->time_free(m_retry);
            m_retry = nullptr;
        }
        m_systemStream.reset();
        m_microphoneStream.reset();
        m_context.reset();
        settleDiscovery(Outcome::noServer);
        settleOpen(false);
    }
    m_loop.stop();
    m_sink = nullptr;
}

void PulseCapture::connectContext() {
    m_context.reset(pa_context_new(m_loop.api(), "Tolvex"));
    if (!m_context) {
        settleDiscovery(Outcome::noServer);
        return;
    }
    pa_context_set_state_callback(m_context.get(), &PulseCapture::contextStateCallback, this);
    // Starting a sound server is the desktop's business, not a meeting recorder's.
    if (pa_context_connect(m_context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        settleDiscovery(Outcome::noServer);
        if (m_capturing)
            scheduleRetry();
    }
}

void PulseCapture::contextStateCallback(pa_context *context, void *self) {
    static_cast<PulseCapture *>(self)->onContextState(pa_context_get_state(context));
}

void PulseCapture::onContextState(pa_context_state_t state) {
    switch (state) {
    case PA_CONTEXT_READY: {
        pa_context_set_subscribe_callback(m_context.get(), &PulseCapture::subscribeCallback, this);
        const auto mask = static_cast<pa_subscription_mask_t>(
            PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE);
        pulse::OperationPtr(pa_context_subscribe(m_context.get(), mask, nullptr, nullptr));
        resolveDefaults();
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        // The server went away: what was captured stays in the files, the clock turns the
        // outage into silence, and we keep knocking until it is back.
        settleDiscovery(Outcome::noServer);
        settleOpen(false);
        if (m_capturing)
            scheduleRetry();
        break;
    case PA_CONTEXT_UNCONNECTED:
    case PA_CONTEXT_CONNECTING:
    case PA_CONTEXT_AUTHORIZING:
    case PA_CONTEXT_SETTING_NAME:
        break;
    }
}

void PulseCapture::subscribeCallback(pa_context *, pa_subscription_event_type_t event, uint32_t,
                                     void *self) {
    const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    const auto type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    // A new default device is a server change; a device that comes or goes may take the
    // default with it. Volume changes and the like are not our concern.
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER || type != PA_SUBSCRIPTION_EVENT_CHANGE)
        static_cast<PulseCapture *>(self)->resolveDefaults();
}

void PulseCapture::resolveDefaults() {
    if (!m_context || pa_context_get_state(m_context.get()) != PA_CONTEXT_READY)
        return;
    ++m_pendingRequests;
    pulse::OperationPtr operation(
        pa_context_get_server_info(m_context.get(), &PulseCapture::serverInfoCallback, this));
    if (!operation)
        requestDone();
}

void PulseCapture::serverInfoCallback(pa_context *, const pa_server_info *info, void *self) {
    static_cast<PulseCapture *>(self)->onServerInfo(info);
}

void PulseCapture::onServerInfo(const pa_server_info *info) {
    if (info) {
        m_defaultSink = orEmpty(info->default_sink_name);
        m_defaultSource = orEmpty(info->default_source_name);
        // The monitor is found through the sink, not "@DEFAULT_MONITOR@", which PipeWire may
        // resolve to the microphone.
        if (m_defaultSink.empty()) {
            m_systemTarget.clear();
        } else {
            ++m_pendingRequests;
            pulse::OperationPtr operation(pa_context_get_sink_info_by_name(
                m_context.get(), m_defaultSink.c_str(), &PulseCapture::sinkInfoCallback, this));
            if (!operation)
                requestDone();
        }
        if (m_defaultSource.empty()) {
            m_microphoneTarget.clear();
        } else {
            ++m_pendingRequests;
            pulse::OperationPtr operation(pa_context_get_source_info_by_name(
                m_context.get(), m_defaultSource.c_str(), &PulseCapture::sourceInfoCallback, this));
            if (!operation)
                requestDone();
        }
    }
    requestDone();
}

void PulseCapture::sinkInfoCallback(pa_context *, const pa_sink_info *info, int eol, void *self) {
    static_cast<PulseCapture *>(self)->onSinkInfo(info, eol);
}

void PulseCapture::onSinkInfo(const pa_sink_info *info, int eol) {
    if (eol != 0) {
        // eol < 0: the sink vanished between the two questions; its removal event asks again.
        requestDone();
        return;
    }
    if (info && orEmpty(info->name) == m_defaultSink)
        m_systemTarget = orEmpty(info->monitor_source_name);
}

void PulseCapture::sourceInfoCallback(pa_context *, const pa_source_info *info, int eol,
                                      void *self) {
    static_cast<PulseCapture *>(self)->onSourceInfo(info, eol);
}

void PulseCapture::onSourceInfo(const pa_source_info *info, int eol) {
    if (eol != 0) {
        requestDone();
        return;
    }
    if (info && orEmpty(info->name) == m_defaultSource) {
        // A monitor as the default input would record the meeting twice, not the user.
        const bool isMonitor = info->monitor_of_sink != PA_INVALID_INDEX;
        m_microphoneTarget = isMonitor ? std::string() : m_defaultSource;
    }
}

void PulseCapture::requestDone() {
    if (--m_pendingRequests > 0)
        return;
    settleDiscovery(m_systemTarget.empty() ? Outcome::noOutput : Outcome::ready);
    if (m_capturing)
        syncStreams();
}

void PulseCapture::syncStreams() {
    const auto sync = [this](std::unique_ptr<RecordStream> &stream, const std::string &target,
                             CaptureTrack track) {
        const bool alive = stream && PA_STREAM_IS_GOOD(stream->state());
        if (alive && stream->device() == target)
            return;
        stream.reset();
        if (!target.empty())
            stream = openStream(track, target);
    };
    sync(m_systemStream, m_systemTarget, CaptureTrack::system);
    sync(m_microphoneStream, m_microphoneTarget, CaptureTrack::microphone);
    if (!m_systemStream)
        settleOpen(false);
}

std::unique_ptr<RecordStream> PulseCapture::openStream(CaptureTrack track,
                                                       const std::string &device) {
    if (!m_context || pa_context_get_state(m_context.get()) != PA_CONTEXT_READY)
        return nullptr;
    RecordStream::Consumer consumer;
    consumer.onSamples = [this, track](std::span<const float> samples) {
        takeSamples(track, samples);
    };
    consumer.onHole = [this, track](std::int64_t frames) { takeHole(track, frames); };
    consumer.onState = [this, track](pa_stream_state_t state) { onStreamState(track, state); };
    const char *name = track == CaptureTrack::system ? "Tolvex: звук встречи" : "Tolvex: микрофон";
    try {
        return std::make_unique<RecordStream>(m_context.get(), name, device, fragmentFrames,
                                              std::move(consumer));
    } catch (const PulseError &) {
        scheduleRetry();
        return nullptr;
    }
}

void PulseCapture::onStreamState(CaptureTrack track, pa_stream_state_t state) {
    switch (state) {
    case PA_STREAM_READY:
        if (track == CaptureTrack::system)
            settleOpen(true);
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        // Its device went away (a headset unplugged). The stream is replaced later, never from
        // inside its own callback.
        if (track == CaptureTrack::system)
            settleOpen(false);
        if (m_capturing)
            scheduleRetry();
        break;
    case PA_STREAM_UNCONNECTED:
    case PA_STREAM_CREATING:
        break;
    }
}

void PulseCapture::scheduleRetry() {
    if (m_retry)
        return;
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(retryMs) * PA_USEC_PER_MSEC);
    m_retry = m_loop.api()->time_new(m_loop.api(), &when, &PulseCapture::retryCallback, this);
}

void PulseCapture::retryCallback(pa_mainloop_api *api, pa_time_event *event, const struct timeval *,
                                 void *self) {
    auto *capture = static_cast<PulseCapture *>(self);
    api->time_free(event);
    capture->m_retry = nullptr;
    if (!capture->m_capturing)
        return;
    const bool connected =
        capture->m_context && PA_CONTEXT_IS_GOOD(pa_context_get_state(capture->m_context.get()));
    if (connected) {
        capture->resolveDefaults();
        return;
    }
    capture->m_systemStream.reset();
    capture->m_microphoneStream.reset();
    capture->connectContext();
}

void PulseCapture::settleDiscovery(Outcome outcome) {
    if (!m_discovery)
        return;
    m_discovery->addResult(Discovery{outcome, !m_microphoneTarget.empty()});
    m_discovery->finish();
    m_discovery.reset();
}

void PulseCapture::settleOpen(bool started) {
    if (!m_opening)
        return;
    m_opening->addResult(started);
    m_opening->finish();
    m_opening.reset();
}

void PulseCapture::takeSamples(CaptureTrack track, std::span<const float> interleaved) {
    if (!m_capturing || !m_sink)
        return;
    CaptureChunk chunk;
    chunk.track = track;
    chunk.arrivalNs = steadyNowNs();
    chunk.frames = static_cast<std::int64_t>(interleaved.size()) / RecordStream::channels;
    chunk.samples.assign(interleaved.begin(), interleaved.end());
    m_sink(std::move(chunk));
}

void PulseCapture::takeHole(CaptureTrack track, std::int64_t frames) {
    if (!m_capturing || !m_sink)
        return;
    CaptureChunk chunk;
    chunk.track = track;
    chunk.arrivalNs = steadyNowNs();
    chunk.frames = frames;
    m_sink(std::move(chunk));
}
