#include "RecordingLock.h"

#include "RecordingFiles.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

RecordingLock::RecordingLock(QByteArray path, FileDescriptor file)
    : m_path(std::move(path))
    , m_file(std::move(file)) {}

std::unique_ptr<RecordingLock> RecordingLock::tryTake(const QString &folder,
                                                      const QString &recordingId) {
    const QByteArray path = QFile::encodeName(RecordingFiles(folder, recordingId).lock());
    FileDescriptor file(::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file || ::flock(file.get(), LOCK_EX | LOCK_NB) != 0)
        return nullptr;
    std::unique_ptr<RecordingLock> lock(new RecordingLock(path, std::move(file)));
    // Opened just before its holder removed it: the next holder makes a new file, so this
    // one would hold nothing.
    if (!lock->ownsPath()) {
        lock->m_path.clear();
        return nullptr;
    }
    return lock;
}

RecordingLock::~RecordingLock() {
    // Removed before the lock goes, so that nobody takes a lock on a file about to vanish.
    if (!m_path.isEmpty() && ownsPath())
        ::unlink(m_path.constData());
}

bool RecordingLock::ownsPath() const {
    struct stat open {};
    struct stat named {};
    return ::fstat(m_file.get(), &open) == 0 && ::lstat(m_path.constData(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}
