#pragma once
// What the sound server's defaults are, as far as a recording's chance to hear anything goes.

#include <string>

struct DeviceReport {
    std::string sinkDescription;
    // The server's stand-in output ("auto_null"): nothing the computer plays reaches a person,
    // and its monitor may hold nothing either.
    bool sinkIsDummy = false;
    std::string sourceDescription;
    bool sourceMuted = false;
    // The default input is an output's monitor: no microphone is recorded at all.
    bool sourceIsMonitor = false;

    bool operator==(const DeviceReport &) const = default;
};
