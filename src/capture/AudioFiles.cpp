#include "AudioFiles.h"

#include "AudioFileError.h"

#include <QDir>
#include <QUuid>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace AudioFiles {

QString privateFolder() {
    const QString path =
        QDir::tempPath() + QStringLiteral("/tolvex-%1").arg(static_cast<qulonglong>(getuid()));
    const QByteArray native = QFile::encodeName(path);
    if (mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        throw AudioFileError("cannot create the private audio folder");

    // A folder left by someone else, or a symlink planted in /tmp, must not receive audio.
    struct stat info {};
    if (lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid())
        throw AudioFileError("the private audio folder is not ours");
    if ((info.st_mode & 0777) != 0700 && chmod(native.constData(), 0700) != 0)
        throw AudioFileError("cannot make the audio folder private");
    return path;
}

QString newFilePath(const QString &prefix) {
    const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    return privateFolder() + QLatin1Char('/') + prefix + uuid + QStringLiteral(".m4a");
}

} // namespace AudioFiles
