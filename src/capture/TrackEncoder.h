#pragma once
// Writes one source of a recording into its part file, on the recording's clock. Its audio
// passes through a resampler that stays at 44100 Hz but stretches or squeezes the track by
// the little the timeline asks for, so a device's drifting clock is followed without gaps.
// Used on the encoder's thread only.

#include "CaptureChunk.h"
#include "CaptureReport.h"
#include "FfmpegPtr.h"
#include "M4aWriter.h"
#include "TrackTimeline.h"

#include <QString>

#include <functional>
#include <memory>
#include <span>
#include <vector>

class TrackEncoder {
public:
    // Without a writer the part file is created at the source's first chunk (a microphone that
    // appears during the recording) and gets leading silence from the origin.
    TrackEncoder(QString path, std::unique_ptr<M4aWriter> writer, std::int64_t originNs);

    // Hands every frame written to the part file on, in order, as it is written (the live mix).
    using Tap = std::function<void(std::span<const float> interleaved)>;
    void setTap(Tap tap) { m_tap = std::move(tap); }

    void take(const CaptureChunk &chunk);
    // Pads the track to `stopNs` and finishes the file; nothing is written afterwards.
    void finish(std::int64_t stopNs);
    // Puts what the part file holds so far on the disk.
    void sync();

    // False once the file could not be created or written: the recording goes on without it.
    [[nodiscard]] bool healthy() const noexcept { return !m_failed; }
    [[nodiscard]] std::int64_t framesWritten() const noexcept { return m_timeline.framesWritten(); }
    [[nodiscard]] TrackReport report() const noexcept;

private:
    void openOutput();
    // Null `interleaved` drains what the resampler holds back.
    void resample(const float *interleaved, int frames);
    void writeSilence(std::int64_t frames);

    QString m_path;
    std::unique_ptr<M4aWriter> m_writer;
    ffmpeg::SwrPtr m_resampler;
    std::vector<float> m_resampled;
    TrackTimeline m_timeline;
    Tap m_tap;
    std::int64_t m_dropped = 0;
    bool m_failed = false;
    bool m_created = false;
};
