#pragma once
// Places one source's samples on the recording's clock. Whatever the source failed to deliver
// (a hole, an underrun, the seconds of a device switch, a source that started late) becomes
// silence of the same length, so both part files last as long as the recording did and stay
// in step with each other.

#include <cstdint>

class TrackTimeline {
public:
    // Chunks arrive with scheduling jitter; only a shortfall beyond this is a real gap. A
    // smaller one is caught up by the next real gap or by the padding at the end.
    static constexpr std::int64_t toleranceNs = 100'000'000;

    TrackTimeline(std::int64_t originNs, int sampleRate);

    // Frames of silence to write before a chunk of `frames` that was handed over at
    // `arrivalNs`; counts the chunk as written. The first chunk is placed exactly, so a source
    // that starts later than the recording gets leading silence for the difference.
    [[nodiscard]] std::int64_t place(std::int64_t arrivalNs, std::int64_t frames);

    // Frames of silence that make the track end at `stopNs`; counts them as written.
    [[nodiscard]] std::int64_t padTo(std::int64_t stopNs);

    [[nodiscard]] std::int64_t framesWritten() const noexcept { return m_written; }

private:
    [[nodiscard]] std::int64_t framesAt(std::int64_t ns) const;

    std::int64_t m_originNs = 0;
    int m_sampleRate = 0;
    std::int64_t m_written = 0;
    bool m_started = false;
};
