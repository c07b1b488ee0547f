#pragma once
// Mixes the two tracks of a recording while they are recorded, into a fragmented file of its
// own, so that the stop only has to copy packets into the file that is uploaded. It sums what
// the two part files receive, frame for frame on their shared timeline, at unity gain through
// the mixdown's limiter. Used on the encoder's thread only.

#include "CaptureChunk.h"
#include "M4aWriter.h"
#include "PeakLimiter.h"

#include <QString>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

class LiveMix {
public:
    enum class State {
        mixing,
        finished,  // the file is complete
        abandoned, // the file is gone; the stop mixes the part files instead
    };

    // How far one track may run ahead of the other, waiting for it: a source that stops
    // delivering for longer (a microphone that appears late, a suspended device) gives the live
    // mix up rather than holding ever more audio. 10 s of stereo floats: 3.5 MB.
    static constexpr std::int64_t maxLeadFrames = 10 * M4aWriter::sampleRate;

    // Creates the new file `path` (see M4aWriter). Throws M4aWriter::Error.
    explicit LiveMix(QString path);
    // A mix that was not finished is abandoned.
    ~LiveMix();
    LiveMix(const LiveMix &) = delete;
    LiveMix &operator=(const LiveMix &) = delete;

    // Interleaved frames that `track`'s part file has just received, in order from the
    // track's first frame. Never throws: a failure or a full disk abandons the mix.
    void add(CaptureTrack track, std::span<const float> interleaved);
    // Removes the file and frees what is held; later calls do nothing.
    void abandon();
    // Ends each track at its true length and follows the shorter with silence, as the mixdown
    // does, then finishes the file. Its length in frames, or nothing when the mix was abandoned
    // or cannot be finished (its file is then gone).
    std::optional<std::int64_t> finish(std::int64_t systemFrames, std::int64_t microphoneFrames);
    // Puts what the file holds so far on the disk, while mixing.
    void sync();

    [[nodiscard]] State state() const noexcept { return m_state; }
    [[nodiscard]] const QString &path() const noexcept { return m_path; }

private:
    // Frames of one track that the other has not reached yet.
    struct Pending {
        std::vector<float> samples; // interleaved
        std::size_t head = 0;       // samples already mixed
        std::int64_t received = 0;  // frames since the track's start

        [[nodiscard]] std::int64_t frames() const noexcept {
            return static_cast<std::int64_t>((samples.size() - head) / M4aWriter::channels);
        }
        void drop(std::int64_t frames);
    };

    void mixAvailable();
    // Writes `frames` frames: each track's pending frames up to `usable[track]`, silence after.
    void mixBlock(std::int64_t frames, const std::array<std::int64_t, 2> &usable);

    QString m_path;
    std::unique_ptr<M4aWriter> m_writer;
    PeakLimiter m_limiter{M4aWriter::sampleRate};
    std::array<Pending, 2> m_tracks; // indexed by CaptureTrack
    std::vector<float> m_block;
    std::int64_t m_mixed = 0; // frames written to the file
    State m_state = State::mixing;
};
