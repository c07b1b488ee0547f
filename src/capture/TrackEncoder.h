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

#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <vector>

class TrackEncoder {
public:
    // Audio kept in memory while the disk is full: a minute, 21 MB.
    static constexpr std::int64_t defaultRoomWaitFrames = 60 * M4aWriter::sampleRate;

    // Without a writer the part file is created at the source's first chunk (a microphone that
    // appears during the recording) and gets leading silence from the origin. While the disk
    // is full, the newest `roomWaitFrames` of the track wait in memory for room.
    TrackEncoder(QString path, std::unique_ptr<M4aWriter> writer, std::int64_t originNs,
                 std::int64_t roomWaitFrames = defaultRoomWaitFrames);

    // Hands every frame written to the part file on, in order, as it is written (the live mix).
    using Tap = std::function<void(std::span<const float> interleaved)>;
    void setTap(Tap tap) { m_tap = std::move(tap); }

    // The recording begins at `originNs` (the first audio of either track), unless this track
    // has written something already.
    void startAt(std::int64_t originNs) { m_timeline.startAt(originNs); }
    void take(const CaptureChunk &chunk);
    // Pads the track to `stopNs` and finishes the file; nothing is written afterwards.
    void finish(std::int64_t stopNs);
    // Puts what the part file holds so far on the disk.
    void sync();

    // False once the file could not be created or written: the recording goes on without it.
    [[nodiscard]] bool healthy() const noexcept { return !m_failed; }
    // True while the disk has no room for the track and its audio waits in memory.
    [[nodiscard]] bool waitsForRoom() const noexcept { return m_disk == Disk::full; }
    [[nodiscard]] std::int64_t framesWritten() const noexcept { return m_timeline.framesWritten(); }
    [[nodiscard]] TrackReport report() const noexcept;

private:
    enum class Disk { room, full };

    void openOutput();
    // Hands resampled audio to the part file, or, while the disk is full, to the wait.
    void deliver(std::span<const float> interleaved);
    // Writes what waits, when the disk has room again.
    void writeWaiting();
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
    const std::int64_t m_roomWaitFrames;
    Disk m_disk = Disk::room;
    // Audio the disk had no room for, interleaved, oldest first. Beyond the limit the oldest
    // goes and becomes silence owed in its place, written before what waits, so the track
    // keeps its length and stays in step with the other one.
    std::deque<float> m_waiting;
    std::int64_t m_silenceOwed = 0;
    std::int64_t m_lostToFullDisk = 0;
    std::vector<float> m_block;
    bool m_failed = false;
    bool m_created = false;
};
