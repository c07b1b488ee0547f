#include "TrackTimeline.h"

#include <algorithm>
#include <cmath>

TrackTimeline::TrackTimeline(std::int64_t originNs, int sampleRate)
    : m_originNs(originNs)
    , m_sampleRate(sampleRate)
    , m_lastArrivalNs(originNs) {}

std::int64_t TrackTimeline::framesAt(std::int64_t ns) const {
    return framesIn(std::max<std::int64_t>(0, ns - m_originNs));
}

std::int64_t TrackTimeline::framesIn(std::int64_t ns) const {
    // Split to stay within 64 bits for any span of the steady clock.
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
    const std::int64_t sinceLast = arrivalNs - m_lastArrivalNs;
    // Read a while after the chunk before it, not in one go with a backlog.
    const bool onTime = 2 * framesIn(sinceLast) >= frames;
    if (streamStart) {
        m_suspect.reset();
        step.silence = std::max<std::int64_t>(0, std::min(-lag, framesIn(sinceLast) - frames));
    } else if (lag < -framesIn(lossToleranceNs)) {
        if (!m_suspect)
            m_suspect = Suspect{m_lastArrivalNs, 0};
        m_suspect->delivered += frames;
        if (onTime && m_suspect->delivered > frames) {
            // The wall clock confirms only what passed beyond the audio that came in.
            const std::int64_t unheard =
                framesIn(arrivalNs - m_suspect->sinceNs) - m_suspect->delivered;
            step.silence = std::max<std::int64_t>(0, std::min(-lag, unheard));
            m_suspect.reset();
        }
    } else {
        m_suspect.reset();
        m_lagSum += static_cast<double>(lag);
        ++m_lagCount;
    }
    m_lastArrivalNs = arrivalNs;
    if (step.silence > 0) {
        advance(step.silence);
        // What was measured before the gap says nothing about the clock after it.
        restartWindow();
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
    // The stream said what is missing; a shortfall seen before this is accounted for.
    m_suspect.reset();
    advance(frames);
}

std::int64_t TrackTimeline::padTo(std::int64_t stopNs) {
    const std::int64_t silence = std::max<std::int64_t>(0, framesAt(stopNs) - framesWritten());
    advance(silence);
    return silence;
}
