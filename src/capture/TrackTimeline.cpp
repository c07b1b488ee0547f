#include "TrackTimeline.h"

#include <algorithm>

TrackTimeline::TrackTimeline(std::int64_t originNs, int sampleRate)
    : m_originNs(originNs)
    , m_sampleRate(sampleRate) {}

std::int64_t TrackTimeline::framesAt(std::int64_t ns) const {
    const std::int64_t elapsed = std::max<std::int64_t>(0, ns - m_originNs);
    // Split to stay within 64 bits for recordings of any realistic length.
    const std::int64_t seconds = elapsed / 1'000'000'000;
    const std::int64_t rest = elapsed % 1'000'000'000;
    return seconds * m_sampleRate + rest * m_sampleRate / 1'000'000'000;
}

std::int64_t TrackTimeline::place(std::int64_t arrivalNs, std::int64_t frames) {
    const std::int64_t shortfall = framesAt(arrivalNs) - frames - m_written;
    const std::int64_t tolerance = toleranceNs * m_sampleRate / 1'000'000'000;
    std::int64_t silence = 0;
    if (!m_started)
        silence = std::max<std::int64_t>(0, shortfall);
    else if (shortfall > tolerance)
        silence = shortfall;
    m_started = true;
    m_written += silence + frames;
    return silence;
}

std::int64_t TrackTimeline::padTo(std::int64_t stopNs) {
    const std::int64_t silence = std::max<std::int64_t>(0, framesAt(stopNs) - m_written);
    m_written += silence;
    return silence;
}
