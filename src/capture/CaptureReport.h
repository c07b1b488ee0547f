#pragma once
// What the encoder knows at the end of a recording about each of its tracks, so the recorder
// can tell a complete recording from one that lost audio on the way.

#include <cstdint>

struct TrackReport {
    // The part file stopped being written before the stop (full disk, vanished folder): the
    // file holds the audio up to that point only.
    bool writerFailed = false;
    // Audio the program had to replace by silence (a queue that overflowed behind a slow disk).
    std::int64_t framesDropped = 0;
    // Audio lost while the disk was full, each frame once: the oldest of what waited beyond the
    // limit, silence in the file in its place, and, with no room at the stop, all that the file
    // had not taken in by then.
    std::int64_t framesLostToFullDisk = 0;
    // Length of the track in frames, silence included.
    std::int64_t framesWritten = 0;
    // The part file exists on disk (a microphone that never appeared leaves none).
    bool fileCreated = false;
};

struct LiveMixReport {
    // The live mix's file is complete and holds both tracks whole; otherwise it is gone.
    bool complete = false;
    // Its length in frames, when complete.
    std::int64_t framesWritten = 0;
};

struct CaptureReport {
    TrackReport system;
    TrackReport microphone;
    LiveMixReport liveMix;
};
