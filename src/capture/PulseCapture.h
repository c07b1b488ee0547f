#pragma once
// The sound-server side of a recording. Connects to PulseAudio (or pipewire-pulse), finds the
// monitor of the default output and the microphone, keeps one record stream on each, and
// follows the defaults when they change. Everything but the public calls runs on the
// "tolvex.audio" thread; the public calls are made on the GUI thread.

#include "CaptureChunk.h"
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
    enum class Outcome { ready, noServer, noOutput };
    struct Discovery {
        Outcome outcome = Outcome::noServer;
        bool hasMicrophone = false;
    };
    using ChunkSink = std::function<void(CaptureChunk &&)>;

    // About 20 ms per fragment keeps latency low without waking up too often.
    static constexpr std::uint32_t fragmentFrames = 882;
    // How soon a lost stream or a lost server is tried again.
    static constexpr int retryMs = 500;

    // Throws PulseError when the loop cannot be made.
    PulseCapture();
    ~PulseCapture();
    PulseCapture(const PulseCapture &) = delete;
    PulseCapture &operator=(const PulseCapture &) = delete;

    // Connects and finds the devices.
    QFuture<Discovery> connect();
    // After connect() found an output: opens the streams and hands every chunk to `sink` on
    // the loop's thread. The future says whether the system stream started.
    QFuture<bool> open(ChunkSink sink);
    // Closes the streams and the connection; no chunk reaches the sink afterwards.
    void close() noexcept;

private:
    static void contextStateCallback(pa_context *context, void *self);
    static void subscribeCallback(pa_context *, pa_subscription_event_type_t, uint32_t, void *self);
    static void serverInfoCallback(pa_context *, const pa_server_info *info, void *self);
    static void sinkInfoCallback(pa_context *, const pa_sink_info *info, int eol, void *self);
    static void sourceInfoCallback(pa_context *, const pa_source_info *info, int eol, void *self);
    static void retryCallback(pa_mainloop_api *, pa_time_event *, const struct timeval *,
                              void *self);

    void connectContext();
    void onContextState(pa_context_state_t state);
    void resolveDefaults();
    void onServerInfo(const pa_server_info *info);
    void onSinkInfo(const pa_sink_info *info, int eol);
    void onSourceInfo(const pa_source_info *info, int eol);
    void requestDone();
    void syncStreams();
    std::unique_ptr<RecordStream> openStream(CaptureTrack track, const std::string &device);
    void onStreamState(CaptureTrack track, pa_stream_state_t state);
    void scheduleRetry();
    void settleDiscovery(Outcome outcome);
    void settleOpen(bool started);
    void takeSamples(CaptureTrack track, std::span<const float> interleaved);
    void takeHole(CaptureTrack track, std::int64_t frames);

    PulseMainLoop m_loop;
    pulse::ContextPtr m_context;
    std::unique_ptr<RecordStream> m_systemStream;
    std::unique_ptr<RecordStream> m_microphoneStream;
    pa_time_event *m_retry = nullptr;

    // What the server says the streams should record; empty means nothing to record.
    std::string m_defaultSink;
    std::string m_defaultSource;
    std::string m_systemTarget;
    std::string m_microphoneTarget;
    int m_pendingRequests = 0;

    bool m_capturing = false;
    ChunkSink m_sink;
    std::optional<QPromise<Discovery>> m_discovery;
    std::optional<QPromise<bool>> m_opening;
};
