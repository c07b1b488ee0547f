#include "PulseCapture.h"

#include "PulseError.h"

#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/timeval.h>

#include <algorithm>

namespace {

constexpr std::int64_t answerTimeoutNs =
    static_cast<std::int64_t>(PulseCapture::answerTimeoutMs) * 1'000'000;

} // namespace

PulseCapture::PulseCapture()
    : PulseCapture(Setup{"tolvex.audio", Sources::systemAndMicrophone, fragmentFrames}) {}

PulseCapture::PulseCapture(const Setup &setup)
    : m_setup(setup)
    , m_mainTrack(setup.sources == Sources::microphoneOnly ? CaptureTrack::microphone
                                                           : CaptureTrack::system)
    , m_loop(setup.threadName) {}

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

QFuture<bool> PulseCapture::open(ChunkSink sink, DevicesSink devices) {
    QPromise<bool> promise;
    promise.start();
    QFuture<bool> future = promise.future();
    PulseLock lock(m_loop);
    m_sink = std::move(sink);
    m_devicesSink = std::move(devices);
    m_capturing = true;
    m_opening.emplace(std::move(promise));
    syncStreams();
    return future;
}

QFuture<void> PulseCapture::drain() {
    QPromise<void> promise;
    promise.start();
    QFuture<void> future = promise.future();
    PulseLock lock(m_loop);
    m_draining.emplace(std::move(promise));
    m_drainDeadline = startTimer(static_cast<std::int64_t>(drainTimeoutMs) * 1'000'000,
                                 &PulseCapture::drainDeadlineCallback);
    if (m_connection) {
        for (const auto *stream : {&m_connection->systemStream, &m_connection->microphoneStream})
            if (*stream && (*stream)->running())
                (*stream)->askForReport();
    }
    checkDrained();
    return future;
}

void PulseCapture::close() noexcept {
    {
        PulseLock lock(m_loop);
        m_capturing = false;
        m_retry.reset();
        m_connection.reset();
        settleDiscovery(Outcome::noServer);
        settleOpen(false);
        settleDrain();
    }
    m_loop.stop();
    m_sink = nullptr;
    m_devicesSink = nullptr;
}

pulse::TimeEventPtr PulseCapture::startTimer(std::int64_t delayNs, pa_time_event_cb_t callback) {
    timeval when{};
    pa_gettimeofday(&when);
    pa_timeval_add(&when, static_cast<pa_usec_t>(std::max<std::int64_t>(0, delayNs) / 1000));
    pa_mainloop_api *api = m_loop.api();
    return pulse::TimeEventPtr(api->time_new(api, &when, callback, this),
                               pulse::TimeEventDeleter{api});
}

bool PulseCapture::ready() const {
    return m_connection && pa_context_get_state(m_connection->context.get()) == PA_CONTEXT_READY;
}

void PulseCapture::connectContext() {
    m_connection = std::make_unique<Connection>([this] { onDefaultsSettled(); });
    m_connection->startedNs = steadyNowNs();
    m_connection->context.reset(pa_context_new(m_loop.api(), "Tolvex"));
    pa_context *context = m_connection->context.get();
    if (!context) {
        m_connection.reset();
        settleDiscovery(Outcome::noServer);
        return;
    }
    pa_context_set_state_callback(context, &PulseCapture::contextStateCallback, this);
    // Starting a sound server is the desktop's business, not a meeting recorder's.
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        settleDiscovery(Outcome::noServer);
        if (m_capturing)
            scheduleRetry();
        return;
    }
    checkDeadlines();
}

void PulseCapture::contextStateCallback(pa_context *context, void *self) {
    static_cast<PulseCapture *>(self)->onContextState(pa_context_get_state(context));
}

void PulseCapture::onContextState(pa_context_state_t state) {
    switch (state) {
    case PA_CONTEXT_READY: {
        pa_context *context = m_connection->context.get();
        pa_context_set_subscribe_callback(context, &PulseCapture::subscribeCallback, this);
        const auto mask = static_cast<pa_subscription_mask_t>(
            PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE);
        pulse::OperationPtr(pa_context_subscribe(context, mask, nullptr, nullptr));
        resolveDefaults();
        checkDeadlines();
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        // The server went away: what was captured stays in the files, the next stream's start
        // turns the outage into silence, and we keep knocking until the server is back.
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
    // default with it; a source's change may be its mute switch, which the user is told of.
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER || facility == PA_SUBSCRIPTION_EVENT_SOURCE ||
        type != PA_SUBSCRIPTION_EVENT_CHANGE)
        static_cast<PulseCapture *>(self)->resolveDefaults();
}

void PulseCapture::resolveDefaults() {
    if (ready())
        m_connection->defaults.ask(m_connection->context.get());
}

void PulseCapture::onDefaultsSettled() {
    const DefaultDevices &defaults = m_connection->defaults;
    settleDiscovery(defaults.systemTarget().empty() ? Outcome::noOutput : Outcome::ready);
    if (m_capturing) {
        if (m_devicesSink && m_reportedDevices != defaults.report()) {
            m_reportedDevices = defaults.report();
            m_devicesSink(defaults.report());
        }
        syncStreams();
    }
}

void PulseCapture::syncStreams() {
    if (!m_connection) {
        settleOpen(false);
        return;
    }
    const auto sync = [this](std::unique_ptr<RecordStream> &stream, const std::string &target,
                             CaptureTrack track) {
        const bool alive = stream && PA_STREAM_IS_GOOD(stream->state());
        if (alive && stream->device() == target)
            return;
        stream.reset();
        if (!target.empty())
            stream = openStream(track, target);
    };
    Connection &c = *m_connection;
    if (m_setup.sources == Sources::systemAndMicrophone)
        sync(c.systemStream, c.defaults.systemTarget(), CaptureTrack::system);
    sync(c.microphoneStream, c.defaults.microphoneTarget(), CaptureTrack::microphone);
    if (!(m_mainTrack == CaptureTrack::system ? c.systemStream : c.microphoneStream))
        settleOpen(false);
    checkDeadlines();
}

std::unique_ptr<RecordStream> PulseCapture::openStream(CaptureTrack track,
                                                       const std::string &device) {
    if (!ready())
        return nullptr;
    RecordStream::Consumer consumer;
    consumer.onSamples = [this, track](CaptureChunk &&chunk) {
        takeSamples(track, std::move(chunk));
    };
    consumer.onHole = [this, track](std::int64_t frames) { takeHole(track, frames); };
    consumer.onState = [this, track](pa_stream_state_t state) { onStreamState(track, state); };
    const char *name = track == CaptureTrack::system ? "Tolvex: звук встречи" : "Tolvex: микрофон";
    if (m_setup.sources == Sources::microphoneOnly)
        name = "Tolvex: уровень микрофона";
    try {
        return std::make_unique<RecordStream>(m_connection->context.get(), name, device,
                                              m_setup.fragmentFrames, std::move(consumer));
    } catch (const PulseError &) {
        scheduleRetry();
        return nullptr;
    }
}

void PulseCapture::onStreamState(CaptureTrack track, pa_stream_state_t state) {
    switch (state) {
    case PA_STREAM_READY:
        if (track == m_mainTrack)
            settleOpen(true);
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        // Its device went away (a headset unplugged). The stream is replaced later, never from
        // inside its own callback.
        onStreamLost(track);
        break;
    case PA_STREAM_UNCONNECTED:
    case PA_STREAM_CREATING:
        break;
    }
}

void PulseCapture::onStreamLost(CaptureTrack track) {
    if (track == m_mainTrack)
        settleOpen(false);
    checkDrained();
    if (m_capturing)
        scheduleRetry();
}

// Whatever waits for the server (the connection, a stream being created) gets
// answerTimeoutMs; one timer is set for the earliest of them.
void PulseCapture::checkDeadlines() {
    if (!m_connection)
        return;
    Connection &c = *m_connection;
    c.deadline.reset();
    const std::int64_t now = steadyNowNs();
    if (!ready()) {
        if (now - c.startedNs < answerTimeoutNs) {
            c.deadline =
                startTimer(c.startedNs + answerTimeoutNs - now, &PulseCapture::deadlineCallback);
            return;
        }
        m_connection.reset();
        settleDiscovery(Outcome::noServer);
        settleOpen(false);
        if (m_capturing)
            scheduleRetry();
        return;
    }
    std::optional<std::int64_t> next;
    for (auto [stream, track] : {std::pair{&c.systemStream, CaptureTrack::system},
                                 std::pair{&c.microphoneStream, CaptureTrack::microphone}}) {
        if (!*stream || (*stream)->state() != PA_STREAM_CREATING)
            continue;
        const std::int64_t due = (*stream)->createdNs() + answerTimeoutNs;
        if (now < due) {
            next = std::min(next.value_or(due), due);
            continue;
        }
        stream->reset();
        onStreamLost(track);
    }
    if (next)
        c.deadline = startTimer(*next - now, &PulseCapture::deadlineCallback);
}

void PulseCapture::deadlineCallback(pa_mainloop_api *, pa_time_event *, const struct timeval *,
                                    void *self) {
    static_cast<PulseCapture *>(self)->checkDeadlines();
}

void PulseCapture::scheduleRetry() {
    if (!m_retry)
        m_retry = startTimer(static_cast<std::int64_t>(retryMs) * 1'000'000,
                             &PulseCapture::retryCallback);
}

void PulseCapture::retryCallback(pa_mainloop_api *, pa_time_event *, const struct timeval *,
                                 void *self) {
    auto *capture = static_cast<PulseCapture *>(self);
    capture->m_retry.reset();
    if (!capture->m_capturing)
        return;
    if (!capture->m_connection ||
        !PA_CONTEXT_IS_GOOD(pa_context_get_state(capture->m_connection->context.get()))) {
        capture->connectContext();
        return;
    }
    if (capture->ready())
        capture->resolveDefaults();
}

void PulseCapture::settleDiscovery(Outcome outcome) {
    if (!m_discovery)
        return;
    const bool hasMicrophone = m_connection && !m_connection->defaults.microphoneTarget().empty();
    Discovery found{outcome, hasMicrophone, {}};
    if (m_connection && outcome == Outcome::ready) {
        found.devices = m_connection->defaults.report();
        m_reportedDevices = found.devices;
    }
    m_discovery->addResult(found);
    m_discovery->finish();
    m_discovery.reset();
}

// A stream that does not record (still connecting, or its device suspended) holds back nothing.
void PulseCapture::checkDrained() {
    if (!m_draining)
        return;
    if (m_connection) {
        for (const auto *stream : {&m_connection->systemStream, &m_connection->microphoneStream})
            if (*stream && (*stream)->running() && !(*stream)->caughtUp())
                return;
    }
    settleDrain();
}

void PulseCapture::drainDeadlineCallback(pa_mainloop_api *, pa_time_event *, const struct timeval *,
                                         void *self) {
    static_cast<PulseCapture *>(self)->settleDrain();
}

void PulseCapture::settleDrain() {
    m_drainDeadline.reset();
    if (!m_draining)
        return;
    m_draining->finish();
    m_draining.reset();
}

void PulseCapture::settleOpen(bool started) {
    if (!m_opening)
        return;
    m_opening->addResult(started);
    m_opening->finish();
    m_opening.reset();
}

void PulseCapture::takeSamples(CaptureTrack track, CaptureChunk &&chunk) {
    if (!m_capturing || !m_sink)
        return;
    chunk.track = track;
    m_sink(std::move(chunk));
    checkDrained();
}

void PulseCapture::takeHole(CaptureTrack track, std::int64_t frames) {
    if (!m_capturing || !m_sink)
        return;
    CaptureChunk chunk;
    chunk.track = track;
    chunk.kind = CaptureChunk::Kind::hole;
    chunk.frames = frames;
    m_sink(std::move(chunk));
}
