#pragma once
// The sound-server side of a recording. Connects to PulseAudio (or pipewire-pulse), finds the
// monitor of the default output and the microphone, keeps one record stream on each, and
// follows the defaults when they change, and the server when it restarts. Everything but the
// public calls runs on the loop's thread; the public calls are made on the GUI thread.

#include "CaptureChunk.h"
#include "DefaultDevices.h"
#include "DeviceReport.h"
#include "PulseHandles.h"
#include "PulseMainLoop.h"
#include "RecordStream.h"

#include <QCoroFuture>
#include <QFuture>
#include <QPromise>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class PulseCapture {
public:
    enum class Outcome {
        ready,
        noServer, // no server, one that refuses us, or one that does not answer in time
        noOutput, // no output device whose monitor can be recorded
    };
    struct Discovery {
        Outcome outcome = Outcome::noServer;
        bool hasMicrophone = false;
        DeviceReport devices{};
    };
    using ChunkSink = std::function<void(CaptureChunk &&)>;
    using DevicesSink = std::function<void(const DeviceReport &)>;

    enum class Sources { systemAndMicrophone, microphoneOnly };
    struct Setup {
        const char *threadName;
        Sources sources;
        std::uint32_t fragmentFrames;
    };

    // About 20 ms per fragment keeps latency low without waking up too often.
    static constexpr std::uint32_t fragmentFrames = 882;
    // How soon a lost stream or a lost server is tried again.
    static constexpr int retryMs = 500;
    // A server that accepts the connection and then says nothing, or a stream that stays in
    // creation, is given up after this long (and, while capturing, tried again).
    static constexpr int answerTimeoutMs = 10000;
    // Audio still on its way arrives within a few fragments, unless the server hangs.
    static constexpr int drainTimeoutMs = 1000;

    // The recording's capture: both sources on "tolvex.audio" in 20 ms fragments.
    PulseCapture();
    // Throws PulseError when the loop cannot be made.
    explicit PulseCapture(const Setup &setup);
    ~PulseCapture();
    PulseCapture(const PulseCapture &) = delete;
    PulseCapture &operator=(const PulseCapture &) = delete;

    // Connects and finds the devices.
    QFuture<Discovery> connect();
    // Opens the streams, now or once the server is known, and hands every chunk to `sink` on
    // the loop's thread. The future says whether the main stream started: the system stream,
    // or the microphone when it is the only source. `devices` hears, on the loop's thread,
    // of every change of the defaults' report after the one connect() gave.
    QFuture<bool> open(ChunkSink sink, DevicesSink devices = {});
    // Completes once every running stream has handed over all the audio the server held when
    // it was called (the user's last words before Stop), or after drainTimeoutMs.
    QFuture<void> drain();
    // Closes the streams and the connection; no chunk reaches the sink afterwards.
    void close() noexcept;

private:
    // Everything that belongs to one connection: a new connection starts from nothing, so no
    // request or stream of a server that went away is waited for.
    struct Connection {
        explicit Connection(std::function<void()> defaultsSettled)
            : defaults(std::move(defaultsSettled)) {}

        // What the server says the streams should record. Before the context, so that no
        // answer of a closing context can reach it gone.
        DefaultDevices defaults;
        pulse::ContextPtr context;
        std::int64_t startedNs = 0;
        // After the context, so they are closed before it.
        std::unique_ptr<RecordStream> systemStream;
        std::unique_ptr<RecordStream> microphoneStream;
        pulse::TimeEventPtr deadline;
    };

    static void contextStateCallback(pa_context *context, void *self);
    static void subscribeCallback(pa_context *, pa_subscription_event_type_t, uint32_t, void *self);
    static void retryCallback(pa_mainloop_api *, pa_time_event *, const struct timeval *,
                              void *self);
    static void deadlineCallback(pa_mainloop_api *, pa_time_event *, const struct timeval *,
                                 void *self);
    static void drainDeadlineCallback(pa_mainloop_api *, pa_time_event *, const struct timeval *,
                                      void *self);

    pulse::TimeEventPtr startTimer(std::int64_t delayNs, pa_time_event_cb_t callback);
    [[nodiscard]] bool ready() const;
    void connectContext();
    void onContextState(pa_context_state_t state);
    void resolveDefaults();
    // The defaults are known (again): the streams follow them, and the user hears of changes.
    void onDefaultsSettled();
    void syncStreams();
    std::unique_ptr<RecordStream> openStream(CaptureTrack track, const std::string &device);
    void onStreamState(CaptureTrack track, pa_stream_state_t state);
    void onStreamLost(CaptureTrack track);
    void checkDeadlines();
    void scheduleRetry();
    void settleDiscovery(Outcome outcome);
    void settleOpen(bool started);
    void checkDrained();
    void settleDrain();
    void takeSamples(CaptureTrack track, CaptureChunk &&chunk);
    void takeHole(CaptureTrack track, std::int64_t frames);

    const Setup m_setup;
    const CaptureTrack m_mainTrack;
    PulseMainLoop m_loop;
    std::unique_ptr<Connection> m_connection;
    pulse::TimeEventPtr m_retry;

    bool m_capturing = false;
    ChunkSink m_sink;
    DevicesSink m_devicesSink;
    // The report last handed out, so that an unchanged one is not told again.
    std::optional<DeviceReport> m_reportedDevices;
    std::optional<QPromise<Discovery>> m_discovery;
    std::optional<QPromise<bool>> m_opening;
    std::optional<QPromise<void>> m_draining;
    pulse::TimeEventPtr m_drainDeadline;
};
