#pragma once
// Places one source's samples on the recording's clock. A track's position is its own sample
// count: each delivered frame follows the one before it, however late it reached the program,
// so a stream's audio is never cut by silence. Silence is written only for audio that is
// really missing:
// - before a stream's first audio: at the recording's start, for the time the source had no
//   stream yet, and when a stream is opened anew (a device switch, a server that came back, a
//   suspended device), for the time the clock says it had none;
// - for a hole the server reports and for audio the program had to drop (placeSilence()).
// The clock is the steady clock from the recording's origin, shared by both tracks: the moment
// the first audio of either track was captured, so the recording begins with the first sample
// the server delivered. A chunk's capture time, dated by the server's timing report, is read
// for those stream starts and for slow drift of the device's clock: each window's average
// distance from the clock comes back as a stretch spread over the next window, which the
// encoder applies by resampling, so both tracks stay in step with each other without a jump.
// A capture time can still be off (a server's bad report), so a start's silence never exceeds
// the wall-clock time that passed beyond the audio that arrived in it.

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
        std::int64_t skip = 0;          // frames at the chunk's start captured before the origin
        std::optional<Stretch> stretch; // a new stretch, in force after the chunk
    };

    // Audio each drift measurement averages over, and the time its correction is spread over.
    static constexpr int windowSeconds = 5;
    // A tenth of a percent is no pitch change an ear can tell, and ten times the drift of a
    // typical device.
    static constexpr double maxStretch = 0.001;

    // `originNs`: where the track starts until startAt() says otherwise.
    TrackTimeline(std::int64_t originNs, int sampleRate);

    // Moves the origin to `originNs`, as long as nothing is written yet.
    void startAt(std::int64_t originNs);
    // Audio of `frames` whose first frame was captured at `captureNs` and that was read from the
    // stream at `arrivalNs`; counts what is not skipped as written.
    [[nodiscard]] Step placeAudio(std::int64_t frames, std::int64_t captureNs,
                                  std::int64_t arrivalNs, bool streamStart);
    // A stretch the server or the program reports missing: silence of its length.
    void placeSilence(std::int64_t frames);
    // Frames of silence that make the track end at `stopNs`; counts them as written.
    [[nodiscard]] std::int64_t padTo(std::int64_t stopNs);

    // Length of the track so far, silence and stretches included.
    [[nodiscard]] std::int64_t framesWritten() const noexcept;

private:
    // Frames from the origin to `ns`; negative before it.
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
    // The drift measurement in progress.
    std::int64_t m_windowFrames = 0;
    double m_lagSum = 0.0;
    std::int64_t m_lagCount = 0;
};
