#pragma once
// The PipeWire kind of SoundServer: `pipewire` with the WirePlumber session manager and the
// PulseAudio server `pipewire-pulse`, as a desktop runs them, on a private D-Bus session bus
// (WirePlumber will not run without one). All of them die with the test process.

#include "SoundServer.h"

#include <QProcess>

#include <array>

class PipeWireServer : public SoundServer {
public:
    explicit PipeWireServer(Options options = {});
    ~PipeWireServer() override;

    void kill() override;
    void pause() override;
    void resume() override;
    bool suspendSink(const QString &sink, bool suspended) override;
    bool playSine(const QString &sink, double hz, double seconds) override;

private:
    void launch() override;
    void startDaemon(QProcess &daemon, const QString &program, const QStringList &arguments = {});
    void signal(int number);

    QProcessEnvironment m_environment;
    QProcess m_bus;
    std::array<QProcess, 3> m_daemons; // pipewire, wireplumber, pipewire-pulse
};
