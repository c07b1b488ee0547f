#pragma once
// What the recording screen tells the user while recording when a track cannot be heard: a
// default device that records nothing useful, or a track that has been silent for a while.

#include "DeviceReport.h"

#include <QStringList>

struct HearingReport {
    DeviceReport devices;
    bool systemSilent = false;
    bool microphoneSilent = false;

    // One line per problem, the output's first; a device's own fault replaces the silence it
    // causes, so one cause is never told twice.
    [[nodiscard]] QStringList lines() const;
};
