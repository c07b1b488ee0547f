#include "SingleInstanceLock.h"

#include <QDir>
#include <QStandardPaths>

SingleInstanceLock::SingleInstanceLock(const QString &directory)
    : m_path(QDir(directory).filePath(QStringLiteral("tolvex.lock")))
    , m_file(m_path) {
    // Only a dead owner makes the lock stale: a copy that has run for days still holds it.
    m_file.setStaleLockTime(0);
}

QString SingleInstanceLock::defaultDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

SingleInstanceLock::Outcome SingleInstanceLock::tryAcquire() {
    if (m_file.tryLock(0)) {
        return Outcome::acquired;
    }
    switch (m_file.error()) {
    case QLockFile::LockFailedError:
        return Outcome::heldElsewhere;
    case QLockFile::NoError:
    case QLockFile::PermissionError:
    case QLockFile::UnknownError:
        break;
    }
    return Outcome::unavailable;
}
