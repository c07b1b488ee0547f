#include "AudioFiles.h"

#include "AudioFileError.h"

#include <QDir>
#include <QFile>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace AudioFiles {

namespace {

// The one place that says where the folder is.
QString folderLocation() {
    return QDir::tempPath() + QStringLiteral("/tolvex-%1").arg(static_cast<qulonglong>(getuid()));
}

std::string withErrno(const char *what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Opens a folder without following a link and checks the opened folder itself, so nothing
// can be swapped in between the check and the use. A folder that is ours but too open is
// made private when `repair` allows it.
FileDescriptor openOwnFolder(const QByteArray &path, bool repair) {
    FileDescriptor folder(
        ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder)
        throw AudioFileError(withErrno("cannot open the audio folder"));
    struct stat info {};
    if (::fstat(folder.get(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid())
        throw AudioFileError("the audio folder is not ours");
    if ((info.st_mode & 07777) != 0700 && (!repair || ::fchmod(folder.get(), 0700) != 0))
        throw AudioFileError("the audio folder is not private");
    return folder;
}

} // namespace

QString privateFolder() {
    const QString path = folderLocation();
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        throw AudioFileError(withErrno("cannot create the private audio folder"));
    openOwnFolder(native, true);
    return path;
}

QString newFilePath(const QString &prefix) {
    const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    return privateFolder() + QLatin1Char('/') + prefix + uuid + QStringLiteral(".m4a");
}

FileDescriptor createFile(const QString &path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString folderPath = slash > 0 ? path.left(slash) : QStringLiteral("/");
    const QString name = path.mid(slash + 1);
    if (slash < 0 || name.isEmpty())
        throw AudioFileError("an audio file needs an absolute path");
    const FileDescriptor folder = openOwnFolder(QFile::encodeName(folderPath), false);
    FileDescriptor file(::openat(folder.get(), QFile::encodeName(name).constData(),
                                 O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file)
        throw AudioFileError(withErrno("cannot create the audio file"));
    return file;
}

} // namespace AudioFiles
