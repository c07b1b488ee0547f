#include "SilenceWatch.h"

#include <algorithm>
#include <cmath>

SilenceWatch::SilenceWatch(std::int64_t windowNs)
    : m_windowNs(windowNs) {}

std::optional<bool> SilenceWatch::take(std::span<const float> samples, std::int64_t captureNs,
                                       std::int64_t durationNs) {
    const bool heard = std::any_of(samples.begin(), samples.end(),
                                   [](float sample) { return std::fabs(sample) >= silentPeak; });
    if (heard) {
        m_quietSinceNs.reset();
        if (!m_silent)
            return std::nullopt;
        m_silent = false;
        return false;
    }
    if (!m_quietSinceNs)
        m_quietSinceNs = captureNs;
    if (m_silent || captureNs + durationNs - *m_quietSinceNs < m_windowNs)
        return std::nullopt;
    m_silent = true;
    return true;
}
