#pragma once
// Places one source's samples on the recording's clock. A track's position is its own sample
// count: each delivered frame follows the one before it, however late it reached the program.
// The clock (the steady clock from the recording's origin, shared by both tracks) is read only
// through each chunk's capture time, which the stream's latency gives, and only for three
// things:
// - where a newly opened or resumed stream begins (a late source, a device switch, a server
//   that came back, a suspended device): the frames the clock says are missing become silence;
// - a source that stopped delivering without saying so: audio that resumes more than
//   lossToleranceNs behind the clock gets silence, once the next chunk that arrives on time
//   shows the same shortfall (the one chunk before it stays on the near side of the gap);
// - slow drift of the device's clock against it: each window's average distance from the
//   clock comes back as a stretch spread over the next window, which the encoder applies by
//   resampling. Both tracks follow the one clock, so they stay in step with each other.
// A capture time is an estimate that can be far off (a stale latency, a server's bad report),
// so silence never exceeds the wall-clock time that passed beyond the audio that arrived in it:
// audio that waited in the server's buffer (the program stalled) is late, not lost.

#include <cstdint>
#include <optional>

class TrackTimeline {
public:
    // Add `delta` frames (remove, when negative), spread evenly over the next `distance`.
    struct Stretch {
        int delta = 0;
        int distance = 0;
    };
    struct Step {
        std::int64_t silence = 0;       // frames of silence to write before the chunk
        std::optional<Stretch> stretch; // a new stretch, in force after the chunk
    };

    // Capture times carry the noise of latency reports; only a shortfall beyond this is audio
    // the source lost.
    static constexpr std::int64_t lossToleranceNs = 100'000'000;
    // Audio each drift measurement averages over, and the time its correction is spread over.
    static constexpr int windowSeconds = 5;
    // A tenth of a percent is no pitch change an ear can tell, and ten times the drift of a
    // typical device.
    static constexpr double maxStretch = 0.001;

    TrackTimeline(std::int64_t originNs, int sampleRate);

    // Audio of `frames` whose first frame was captured at `captureNs` and that was read from the
    // stream at `arrivalNs`; counts it as written.
    [[nodiscard]] Step placeAudio(std::int64_t frames, std::int64_t captureNs,
                                  std::int64_t arrivalNs, bool streamStart);
    // A stretch the server or the program reports missing: silence of its length.
    void placeSilence(std::int64_t frames);
    // Frames of silence that make the track end at `stopNs`; counts them as written.
    [[nodiscard]] std::int64_t padTo(std::int64_t stopNs);

    // Length of the track so far, silence and stretches included.
    [[nodiscard]] std::int64_t framesWritten() const noexcept;

private:
    // Audio that came in behind the clock, not yet confirmed as a gap.
    struct Suspect {
        std::int64_t sinceNs = 0;   // arrival of the last chunk before it
        std::int64_t delivered = 0; // frames arrived since then
    };

    [[nodiscard]] std::int64_t framesAt(std::int64_t ns) const;
    [[nodiscard]] std::int64_t framesIn(std::int64_t ns) const;
    void advance(std::int64_t frames);
    void restartWindow();

    std::int64_t m_originNs = 0;
    int m_sampleRate = 0;
    std::int64_t m_taken = 0; // frames before any stretch
    double m_stretched = 0.0; // frames all stretches have added so far
    Stretch m_stretch;        // the one in force
    std::int64_t m_stretchDone = 0;
    std::int64_t m_lastArrivalNs = 0;
    std::optional<Suspect> m_suspect;
    // The drift measurement in progress.
    std::int64_t m_windowFrames = 0;
    double m_lagSum = 0.0;
    std::int64_t m_lagCount = 0;
};
