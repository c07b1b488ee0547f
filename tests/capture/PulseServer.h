#pragma once
// The PulseAudio kind of SoundServer: a `pulseaudio` daemon of this test's own.

#include "SoundServer.h"

#include <QFile>

class PulseServer : public SoundServer {
public:
    explicit PulseServer(Options options = {})
        : SoundServer(options) {
        start();
    }

private:
    void launch() override {
        // Anonymous access: the socket lives in a folder only this test can reach.
        QFile script(path(QStringLiteral("default.pa")));
        if (script.open(QIODevice::WriteOnly))
            script.write("load-module module-native-protocol-unix auth-anonymous=1 socket=" +
                         QFile::encodeName(socket()) + '\n');
        script.close();
        // Root is fine for a per-user daemon in a private folder; these flags keep it alive and
        // out of everything the machine's own session might have.
        startDaemon(QStringLiteral("pulseaudio"),
                    {"-n", "--daemonize=no", "--system=false", "--use-pid-file=no",
                     "--exit-idle-time=-1", "--disallow-exit", "--disallow-module-loading=no",
                     "--log-target=stderr", "--log-level=warning", "-F", script.fileName()});
    }
};
