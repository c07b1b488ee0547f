#include "PipeWireServer.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QThread>

PipeWireServer::PipeWireServer(Options options)
    : SoundServer(options) {
    start();
}

void PipeWireServer::launch() {
    // pipewire-pulse listens where the test looks; anyone who reaches the folder may use it.
    const QString drop = path(QStringLiteral("home/.config/pipewire/pipewire-pulse.conf.d"));
    QFile config(drop + QStringLiteral("/tolvex.conf"));
    if (QDir().mkpath(drop) && config.open(QIODevice::WriteOnly))
        config.write("pulse.properties = { server.address = [ \"unix:" +
                     QFile::encodeName(socket()) + "\" ] }\n");
    config.close();
    // Killed daemons leave their sockets behind; the new ones must not be taken for answers.
    const QString bus = path(QStringLiteral("run/bus")),
                  graph = path(QStringLiteral("run/pipewire-0"));
    for (const QString &file : {bus, graph, socket()})
        QFile::remove(file);
    startDaemon(QStringLiteral("dbus-daemon"),
                {"--session", "--nofork", "--address=unix:path=" + bus});
    startDaemon(QStringLiteral("pipewire"), {}, "unix:path=" + bus);
    // The graph first: the others give up without it. The bus has long been up by then.
    for (const QDeadlineTimer deadline(5000); !QFile::exists(graph) && !deadline.hasExpired();)
        QThread::msleep(20);
    startDaemon(QStringLiteral("wireplumber"), {}, "unix:path=" + bus);
    startDaemon(QStringLiteral("pipewire-pulse"));
}

bool PipeWireServer::suspendSink(const QString &, bool) {
    // PipeWire 0.3 starts a suspended sink again at once, tells no client, and from then on
    // hands the streams already on its monitor only silence: nothing a client could follow.
    return true;
}
