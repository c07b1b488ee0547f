#include "XDisplay.h"

#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>

namespace {

QByteArray xdotool(const QStringList &arguments) {
    QProcess process;
    process.start(QStringLiteral("xdotool"), arguments);
    return process.waitForFinished(10000) ? process.readAllStandardOutput() : QByteArray();
}

} // namespace

QList<qulonglong> XDisplay::visibleWindows(const QString &pattern) {
    QList<qulonglong> windows;
    for (const char *field : {"--classname", "--class"}) {
        for (const QByteArray &line :
             xdotool({"search", "--onlyvisible", field, pattern}).split('\n')) {
            bool ok = false;
            const qulonglong id = line.trimmed().toULongLong(&ok);
            if (ok && !windows.contains(id))
                windows.append(id);
        }
    }
    return windows;
}

std::optional<QRect> XDisplay::geometry(qulonglong window) {
    QMap<QByteArray, int> values;
    for (const QByteArray &line :
         xdotool({"getwindowgeometry", "--shell", QString::number(window)}).split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0)
            values.insert(line.left(equals), line.mid(equals + 1).toInt());
    }
    if (values.size() < 4)
        return std::nullopt;
    return QRect(values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]);
}

QString XDisplay::windowName(qulonglong window) {
    return QString::fromUtf8(xdotool({"getwindowname", QString::number(window)}).trimmed());
}

void XDisplay::click(QPoint at, int button) {
    // Held for a moment, as a hand does: a menu that opens on the press must still be there
    // after the release.
    const QString b = QString::number(button);
    xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "sleep", "0.1",
             "mousedown", b, "sleep", "0.12", "mouseup", b});
}

void XDisplay::close(qulonglong window) {
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    const auto atom = [connection](const char *name) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, std::strlen(name), name), nullptr);
        const xcb_atom_t found = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return found;
    };
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = static_cast<xcb_window_t>(window);
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    xcb_send_event(connection, 0, event.window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char *>(&event));
    // A round trip: the server has sent the message before the connection goes.
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
    xcb_disconnect(connection);
}

void XDisplay::key(const QString &keys) {
    xdotool({"key", keys});
}

QImage XDisplay::screenshot() {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("screen.png"));
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-v", "error", "-f", "x11grab", "-draw_mouse", "0", "-i",
                  qEnvironmentVariable("DISPLAY"), "-frames:v", "1", "-y", path});
    if (!ffmpeg.waitForFinished(15000) || ffmpeg.exitCode() != 0)
        return {};
    return QImage(path).convertToFormat(QImage::Format_RGB32);
}
