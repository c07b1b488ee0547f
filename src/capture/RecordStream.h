#pragma once
// A libpulse record stream of float stereo samples at 44100 Hz that hands every piece of data,
// and every hole, to its consumer on the loop's thread, each piece with the time its first
// frame was captured. Create, use and destroy it on the loop's thread or with the loop locked.

#include "PulseHandles.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>

class RecordStream {
public:
    static constexpr int sampleRate = 44100;
    static constexpr int channels = 2;

    // All called on the loop's thread; they must only copy data out, never wait.
    struct Consumer {
        // `captureNs`, `arrivalNs` (when it was read): steady clock; `first`: the stream's first
        // data, or the first since its device was suspended.
        std::function<void(std::span<const float> interleaved, std::int64_t captureNs,
                           std::int64_t arrivalNs, bool first)>
            onSamples;
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

private:
    static void readCallback(pa_stream *stream, size_t bytes, void *self);
    static void stateCallback(pa_stream *stream, void *self);
    static void suspendedCallback(pa_stream *stream, void *self);
    void onReadable();
    [[nodiscard]] std::int64_t captureTimeOfNextFrame(std::int64_t nowNs) const;

    std::string m_device;
    std::int64_t m_createdNs = 0;
    bool m_delivered = false;
    Consumer m_consumer;
    pulse::StreamPtr m_stream;
};
