#pragma once
// Keeps a sum of two tracks below full scale without wrapping or hard clipping.

#include <span>

// Stereo-linked peak limiter with instant attack and a smooth release: the gain drops at once
// to whatever keeps the loudest channel at the ceiling, then recovers over about 80 ms.
// Below the ceiling the signal passes at unity gain.
class PeakLimiter {
public:
    // -1 dBFS leaves room for the overshoot that AAC encoding adds to limited peaks.
    static constexpr float ceiling = 0.89f;

    explicit PeakLimiter(int sampleRate);

    // Limits interleaved stereo samples in place.
    void process(std::span<float> interleaved);

private:
    float m_release;
    float m_envelope = 0.0f;
};
