#include "TrackTimeline.h"

#include <algorithm>
#include <cmath>

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

std::int64_t TrackTimeline::framesWritten() const noexcept {
    return m_taken + std::llround(m_stretched);
}

void TrackTimeline::advance(std::int64_t frames) {
    m_taken += frames;
    const std::int64_t part = std::min(frames, m_stretch.distance - m_stretchDone);
    if (part > 0) {
        m_stretched += static_cast<double>(m_stretch.delta) * static_cast<double>(part) /
                       static_cast<double>(m_stretch.distance);
        m_stretchDone += part;
    }
}

void TrackTimeline::restartWindow() {
    m_windowFrames = 0;
    m_lagSum = 0.0;
    m_lagCount = 0;
}

TrackTimeline::Step TrackTimeline::placeAudio(std::int64_t frames, std::int64_t captureNs,
                                              bool streamStart) {
    Step step;
    // Positive: the chunk lands later than it was captured.
    const std::int64_t lag = framesWritten() - framesAt(captureNs);
    const std::int64_t tolerance = lossToleranceNs * m_sampleRate / 1'000'000'000;
    if (streamStart ? lag < 0 : lag < -tolerance) {
        step.silence = -lag;
        advance(step.silence);
        // What was measured before the gap says nothing about the clock after it.
        restartWindow();
    } else {
        m_lagSum += static_cast<double>(lag);
        ++m_lagCount;
    }
    advance(frames);
    m_windowFrames += frames;

    const int window = windowSeconds * m_sampleRate;
    if (m_windowFrames >= window && m_lagCount > 0) {
        const double limit = maxStretch * window;
        const double correction =
            std::clamp(-m_lagSum / static_cast<double>(m_lagCount), -limit, limit);
        m_stretch = Stretch{static_cast<int>(std::lround(correction)), window};
        m_stretchDone = 0;
        step.stretch = m_stretch;
        restartWindow();
    }
    return step;
}

void TrackTimeline::placeSilence(std::int64_t frames) {
    advance(frames);
}

std::int64_t TrackTimeline::padTo(std::int64_t stopNs) {
    const std::int64_t silence = std::max<std::int64_t>(0, framesAt(stopNs) - framesWritten());
    advance(silence);
    return silence;
}
