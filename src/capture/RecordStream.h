#pragma once
// A libpulse record stream of float stereo samples at 44100 Hz that hands every piece of data,
// and every hole, to its consumer on the loop's thread, each piece with the time its first
// frame was captured. Create, use and destroy it on the loop's thread or with the loop locked.

#include "CaptureChunk.h"
#include "PulseHandles.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

class RecordStream {
public:
    static constexpr int sampleRate = 44100;
    static constexpr int channels = 2;
    // How long a new or resumed stream's audio waits for the server's first timing report,
    // which dates it, before a rougher date is taken.
    static constexpr std::int64_t reportWaitNs = 500'000'000;

    // All called on the loop's thread; they must only copy data out, never wait.
    struct Consumer {
        // An audio chunk with its samples, dated; its track is the consumer's to set.
        std::function<void(CaptureChunk &&chunk)> onSamples;
        std::function<void(std::int64_t frames)> onHole;
        std::function<void(pa_stream_state_t state)> onState;
    };

    // An empty device records the server's default source. Throws PulseError when the server
    // refuses the stream at once; later failures arrive through onState.
    RecordStream(pa_context *context, const char *name, const std::string &device,
                 std::uint32_t fragmentFrames, Consumer consumer);
    RecordStream(const RecordStream &) = delete;
    RecordStream &operator=(const RecordStream &) = delete;

    [[nodiscard]] pa_stream_state_t state() const noexcept;
    [[nodiscard]] const std::string &device() const noexcept { return m_device; }
    // When the stream was asked for, on the steady clock.
    [[nodiscard]] std::int64_t createdNs() const noexcept { return m_createdNs; }
    // Asks the server for a timing report now: where its queue for the stream stands.
    void askForReport();
    // True once every frame the server had taken when it answered askForReport() is read.
    [[nodiscard]] bool caughtUp() const;
    // True while the stream records: connected, and its device not suspended.
    [[nodiscard]] bool running() const noexcept;

private:
    static void readCallback(pa_stream *stream, size_t bytes, void *self);
    static void latencyCallback(pa_stream *stream, void *self);
    static void stateCallback(pa_stream *stream, void *self);
    static void suspendedCallback(pa_stream *stream, void *self);
    void onReadable();
    // The server's newest timing report, unless it was made before the device last resumed.
    [[nodiscard]] std::optional<ServerTiming> report() const;
    void date(CaptureChunk &chunk) const;

    std::string m_device;
    std::int64_t m_createdNs = 0;
    // Frames read so far, holes included: the stream's read index.
    std::int64_t m_readFrames = 0;
    std::int64_t m_askedNs = 0;
    // Timing reports made before this (the stream's creation, its device's last resume) do
    // not date its audio.
    std::int64_t m_reportsValidFromNs = 0;
    bool m_delivered = false;
    // The first frame its device captured after it last resumed: from there on the audio is
    // placed by its date again. Everything that came before the resume is older, even what a
    // busy server sent only after saying the device was suspended.
    std::optional<std::int64_t> m_resumedAtFrame;
    Consumer m_consumer;
    pulse::StreamPtr m_stream;
};
