#include "PeakLimiter.h"

#include <algorithm>
#include <cmath>

PeakLimiter::PeakLimiter(int sampleRate)
    : m_release(std::exp(-1.0f / (0.08f * static_cast<float>(sampleRate)))) {}

void PeakLimiter::process(std::span<float> interleaved) {
    for (size_t i = 0; i + 1 < interleaved.size(); i += 2) {
        const float peak = std::max(std::fabs(interleaved[i]), std::fabs(interleaved[i + 1]));
        // The envelope never falls below the current peak, so |sample * gain| <= ceiling.
        m_envelope = std::max(peak, m_envelope * m_release);
        if (m_envelope > ceiling) {
            const float gain = ceiling / m_envelope;
            interleaved[i] *= gain;
            interleaved[i + 1] *= gain;
        }
    }
}
