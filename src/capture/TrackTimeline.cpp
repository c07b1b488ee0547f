#include "TrackTimeline.h"

#include <algorithm>
#include <cmath>

TrackTimeline::TrackTimeline(std::int64_t originNs, int sampleRate)
    : m_sampleRate(sampleRate) {
    startAt(originNs);
}

void TrackTimeline::startAt(std::int64_t originNs) {
    if (m_taken > 0)
        return;
    m_originNs = originNs;
    m_lastArrivalNs = originNs;
}

std::int64_t TrackTimeline::framesAt(std::int64_t ns) const {
    return framesIn(ns - m_originNs);
}

std::int64_t TrackTimeline::framesIn(std::int64_t ns) const {
    // Split to stay within 64 bits for any span of the steady clock (both parts keep the sign).
    return ns / 1'000'000'000 * m_sampleRate + ns % 1'000'000'000 * m_sampleRate / 1'000'000'000;
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
                                              std::int64_t arrivalNs, bool streamStart) {
    Step step;
    // Positive: the chunk lands later than it was captured.
    const std::int64_t lag = framesWritten() - framesAt(captureNs);
    if (m_taken == 0 && lag > 0) {
        // The other track began the recording after this one started capturing.
        step.skip = std::min(frames, lag);
    } else if (streamStart) {
        // The time the source had no stream, as far as the wall clock confirms it.
        const std::int64_t unheard = framesIn(arrivalNs - m_lastArrivalNs) - frames;
        step.silence = std::max<std::int64_t>(0, std::min(-lag, unheard));
    } else {
        m_lagSum += static_cast<double>(lag);
        ++m_lagCount;
    }
    m_lastArrivalNs = arrivalNs;
    if (step.silence > 0) {
        advance(step.silence);
        // What was measured before the gap says nothing about the clock after it.
        restartWindow();
    }
    advance(frames - step.skip);
    m_windowFrames += frames - step.skip;

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
