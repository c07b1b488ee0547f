#include "XDisplay.h"

#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QThread>

#include <signal.h>
#include <sys/prctl.h>

namespace {

// Helpers must not outlive a test that crashes.
void dieWithParent(QProcess &process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

} // namespace

XDisplay::~XDisplay() {
    for (QProcess *process : {&m_tray, &m_server}) {
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(3000)) {
                process->kill();
                process->waitForFinished(3000);
            }
        }
    }
}

bool XDisplay::start() {
    dieWithParent(m_server);
    m_server.setStandardErrorFile(QProcess::nullDevice());
    // -displayfd picks a free display number and writes it to standard output when ready.
    m_server.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0",
                                            QStringLiteral("%1x%2x24").arg(width).arg(height),
                                            "-nolisten", "tcp", "-noreset"});
    const QDeadlineTimer serverDeadline(10000);
    QByteArray number;
    while (!number.endsWith('\n') && !serverDeadline.hasExpired() &&
           m_server.waitForReadyRead(static_cast<int>(serverDeadline.remainingTime()))) {
        number += m_server.readAllStandardOutput();
    }
    if (!number.endsWith('\n')) {
        m_error = QStringLiteral("Xvfb did not start");
        return false;
    }
    m_name = QStringLiteral(":") + QString::fromLatin1(number.trimmed());
    return true;
}

bool XDisplay::startTrayHost() {
    dieWithParent(m_tray);
    m_tray.setProcessEnvironment(environment());
    m_tray.setStandardOutputFile(QProcess::nullDevice());
    m_tray.setStandardErrorFile(QProcess::nullDevice());
    m_tray.start(QStringLiteral("trayer"),
                 {"--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
                  "--SetDockType", "true", "--transparent", "false", "--tint", "0x333333",
                  "--expand", "true"});
    const QDeadlineTimer trayDeadline(10000);
    while (!trayDeadline.hasExpired()) {
        QByteArray found;
        if (xdotool({"search", "--name", "^panel$"}, &found) && !found.trimmed().isEmpty()) {
            return true;
        }
        QThread::msleep(100);
    }
    m_error = QStringLiteral("trayer did not show its panel");
    return false;
}

QProcessEnvironment XDisplay::environment() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_name);
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    return environment;
}

QList<qulonglong> XDisplay::visibleWindows(const QString &pattern) const {
    QList<qulonglong> windows;
    for (const char *field : {"--classname", "--class"}) {
        QByteArray found;
        xdotool({"search", "--onlyvisible", field, pattern}, &found);
        for (const QByteArray &line : found.split('\n')) {
            bool ok = false;
            const qulonglong id = line.trimmed().toULongLong(&ok);
            if (ok && !windows.contains(id)) {
                windows.append(id);
            }
        }
    }
    return windows;
}

std::optional<QRect> XDisplay::geometry(qulonglong window) const {
    QByteArray shell;
    if (!xdotool({"getwindowgeometry", "--shell", QString::number(window)}, &shell)) {
        return std::nullopt;
    }
    QRect rect;
    for (const QByteArray &line : shell.split('\n')) {
        const QList<QByteArray> pair = line.trimmed().split('=');
        if (pair.size() != 2) {
            continue;
        }
        const int value = pair[1].toInt();
        if (pair[0] == "X") {
            rect.moveLeft(value);
        } else if (pair[0] == "Y") {
            rect.moveTop(value);
        } else if (pair[0] == "WIDTH") {
            rect.setWidth(value);
        } else if (pair[0] == "HEIGHT") {
            rect.setHeight(value);
        }
    }
    return rect;
}

void XDisplay::click(QPoint at, int button) const {
    // Held for a moment, as a hand does: a menu that opens on the press must still be there
    // after the release. (mousemove --sync would wait forever when the pointer is already
    // there.)
    const QString b = QString::number(button);
    xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "sleep", "0.1",
             "mousedown", b, "sleep", "0.12", "mouseup", b});
}

void XDisplay::key(const QString &keys) const {
    xdotool({"key", keys});
}

QImage XDisplay::screenshot() const {
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("screen.png"));
    QProcess ffmpeg;
    ffmpeg.setProcessEnvironment(environment());
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-v", "error", "-f", "x11grab", "-draw_mouse", "0", "-video_size",
                  QStringLiteral("%1x%2").arg(width).arg(height), "-i", m_name, "-frames:v", "1",
                  "-y", path});
    if (!ffmpeg.waitForFinished(15000) || ffmpeg.exitCode() != 0) {
        return {};
    }
    return QImage(path).convertToFormat(QImage::Format_RGB32);
}

QString XDisplay::windowName(qulonglong window) const {
    QByteArray name;
    xdotool({"getwindowname", QString::number(window)}, &name);
    return QString::fromUtf8(name.trimmed());
}

bool XDisplay::xdotool(const QStringList &arguments, QByteArray *output) const {
    QProcess process;
    process.setProcessEnvironment(environment());
    process.start(QStringLiteral("xdotool"), arguments);
    if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit) {
        return false;
    }
    if (output != nullptr) {
        *output = process.readAllStandardOutput();
    }
    return process.exitCode() == 0;
}
