#pragma once
// The PipeWire kind of SoundServer: `pipewire` with the WirePlumber session manager and the
// PulseAudio server `pipewire-pulse`, as a desktop runs them, on a private D-Bus session bus
// (WirePlumber will not run without one).

#include "SoundServer.h"

class PipeWireServer : public SoundServer {
public:
    explicit PipeWireServer(Options options = {});

    bool suspendSink(const QString &sink, bool suspended) override;

private:
    void launch() override;
};
