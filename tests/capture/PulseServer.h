#pragma once
// The PulseAudio kind of SoundServer: a `pulseaudio` daemon of this test's own, which dies with
// the test process.

#include "SoundServer.h"

#include <QProcess>

class PulseServer : public SoundServer {
public:
    explicit PulseServer(Options options = {});
    ~PulseServer() override;

    void kill() override;
    void pause() override;
    void resume() override;

private:
    void launch() override;

    QProcess m_daemon;
};
