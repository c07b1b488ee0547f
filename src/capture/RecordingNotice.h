#pragma once
// Something that keeps a track from being heard while recording, as the capture finds it.

#include <QString>

struct RecordingNotice {
    enum class Code {
        outputIsDummy,    // the default output is the server's stand-in; `device` is its name
        systemSilent,     // the computer's sound has been silent for a while
        inputIsMonitor,   // the default input is an output's monitor; `device` is its name
        microphoneMuted,  // the default input is muted on the system; `device` is its name
        microphoneSilent, // the microphone has been silent for a while
    };

    Code code;
    // The device's description as the sound server gives it; empty for a silence.
    QString device;

    friend bool operator==(const RecordingNotice &, const RecordingNotice &) = default;
};
