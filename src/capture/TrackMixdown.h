#pragma once
// Turns the part files of a recording into the one file that is uploaded.

#include "RecordedAudio.h"

#include <QCoroTask>

#include <cstdint>
#include <optional>
#include <vector>

// One part file of a recording.
struct PartTrack {
    QString path;
    CaptureTrack track = CaptureTrack::system;
    // The track's true length in frames, when the encoder reported it. The file itself also
    // holds its encoder's priming and the padding of its last frame.
    std::optional<std::int64_t> frames;
    // The track lost audio while it was recorded (its writer failed, or audio was dropped).
    bool cut = false;
};

// The work itself, blocking. Parts that cannot be decoded are left out. Two readable parts
// are decoded, laid from time zero each for its own length, summed at unity gain through a
// limiter and encoded into a new faststart M4A in the private folder; one readable part is
// copied packet by packet into one (TrackRemux). Priming and padding are trimmed either way.
// A part is removed only once the new file that holds its audio is complete; a half-written
// file is removed. Never fails: a file that cannot be written gives Loss::mixFailed with every
// part kept, a part left out gives Loss::trackCut with that part kept.
RecordedAudio mixdown(const std::vector<PartTrack> &parts);

// A complete mix made while recording (LiveMix, CaptureReport::liveMix) of parts that are
// whole: its fragmented file and its length in frames.
struct LiveMixFile {
    QString path;
    std::int64_t frames = 0;
};

// The same, from the live mix of the same parts when there is one: its packets are copied
// into the new faststart file (TrackRemux), which is far quicker than mixing again. When that
// fails, or the copy comes out short, the parts are mixed as above. The live file is removed
// either way; the parts only once the new file holds their audio.
RecordedAudio mixdown(const std::vector<PartTrack> &parts, const std::optional<LiveMixFile> &live);

// Runs mixdown() on a worker thread and awaits its future, which cannot miss the end of even
// an instant failure.
QCoro::Task<RecordedAudio> mergeTracks(std::vector<PartTrack> parts,
                                       std::optional<LiveMixFile> live = std::nullopt);
