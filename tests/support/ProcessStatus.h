#pragma once
// Memory figures of this process, as the kernel keeps them in /proc/self/status.

#include <QByteArray>
#include <QFile>

// The field in bytes ("VmRSS": resident now, "VmHWM": the resident peak); -1 if unreadable.
inline qint64 processStatusBytes(const QByteArray &field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = field + ':';
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}
