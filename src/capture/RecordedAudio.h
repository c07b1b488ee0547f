#pragma once
// What a finished recording hands over: the file to upload, and whatever the recording lost on
// the way, so the user learns of it instead of receiving a recording that silently lacks a track.

#include "CaptureChunk.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// The receiver owns every file named here from then on.
struct RecordedAudio {
    enum class Loss {
        none,      // filePath holds every recorded sample of both tracks
        trackCut,  // a track stopped being written mid-recording, or audio was dropped: filePath
                   // holds all that exists, but the recording has a gap or ends early on a track
        mixFailed, // not mixed: the mix could not be written (full disk...), or a quick exit
                   // left it to the next launch. filePath is empty, partFiles hold the
                   // recording and can be mixed again
    };

    QString filePath;      // the file to upload (a faststart M4A), empty on mixFailed
    QStringList partFiles; // part files kept because filePath lacks their audio
    Loss loss = Loss::none;
    std::optional<CaptureTrack> affectedTrack; // which track the loss touches, when known
    // Audio each track lost while the disk was full (silence in its place, or, still full at
    // the stop, the track's end), for the user; zero when the disk never held the recording up
    // for longer than the encoder could wait. Counted by the capture, so handed over on
    // mixFailed too: a later mix of the parts cannot count it again.
    std::chrono::milliseconds systemLostToFullDisk{0};
    std::chrono::milliseconds microphoneLostToFullDisk{0};
};
