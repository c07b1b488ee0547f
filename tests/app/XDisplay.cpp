#include "XDisplay.h"

#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

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
