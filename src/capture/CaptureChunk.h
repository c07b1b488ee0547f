#pragma once
// One piece of captured audio on its way from the sound server's thread to the encoder.

#include <chrono>
#include <cstdint>
#include <vector>

enum class CaptureTrack { system, microphone };

struct CaptureChunk {
    CaptureTrack track = CaptureTrack::system;
    std::int64_t arrivalNs = 0; // steady clock, when the chunk was handed over
    std::int64_t frames = 0;
    std::vector<float> samples; // interleaved stereo; empty when the server reported a hole
};

// The clock that recordings are timed by.
inline std::int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
