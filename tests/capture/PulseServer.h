#pragma once
// The PulseAudio kind of SoundServer: a `pulseaudio` daemon of this test's own.

#include "SoundServer.h"

class PulseServer : public SoundServer {
public:
    explicit PulseServer(Options options = {});

private:
    void launch() override;
};
