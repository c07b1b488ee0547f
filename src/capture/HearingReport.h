#pragma once
// What keeps a track from being heard while recording: a default device that records nothing
// useful, or a track that has been silent for a while.

#include "DeviceReport.h"
#include "RecordingNotice.h"

#include <QList>

struct HearingReport {
    DeviceReport devices;
    bool systemSilent = false;
    bool microphoneSilent = false;

    // One notice per problem, the output's first; a device's own fault replaces the silence it
    // causes, so one cause is never told twice.
    [[nodiscard]] QList<RecordingNotice> notices() const;
};
