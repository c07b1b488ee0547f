#include "AudioFiles.h"

#include "AudioFileError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace AudioFiles {

namespace {

// The one place that says where the folder is. The same for the program and for any tool
// or test that looks at its recordings, whatever the process calls itself.
QString programFolderLocation() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/tolvex");
}

QString folderLocation() {
    return programFolderLocation() + QStringLiteral("/recordings");
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
    if (!folder && (errno == ELOOP || errno == ENOTDIR))
        throw AudioFileError(withErrno("the audio folder is a link or a file"),
                             QFile::decodeName(path));
    if (!folder)
        throw AudioFileError(withErrno("cannot open the audio folder"));
    struct stat info {};
    if (::fstat(folder.get(), &info) != 0 || !S_ISDIR(info.st_mode))
        throw AudioFileError(withErrno("cannot look at the audio folder"));
    if (info.st_uid != getuid())
        throw AudioFileError("the audio folder is not ours", QFile::decodeName(path));
    if ((info.st_mode & 07777) != 0700 && (!repair || ::fchmod(folder.get(), 0700) != 0))
        throw AudioFileError("the audio folder is not private", QFile::decodeName(path));
    return folder;
}

} // namespace

QString privateFolder() {
    // The program's own data folder may hold other things; only its recordings must be private.
    if (!QDir().mkpath(QFileInfo(folderLocation()).absolutePath()))
        throw AudioFileError("cannot create the program's data folder");
    const QString path = folderLocation();
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        throw AudioFileError(withErrno("cannot create the private audio folder"));
    openOwnFolder(native, true);
    return path;
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

std::optional<std::int64_t> freeBytes(const QString &folder) {
    struct statvfs disk {};
    if (::statvfs(QFile::encodeName(folder).constData(), &disk) != 0)
        return std::nullopt;
    return static_cast<std::int64_t>(disk.f_bavail) * static_cast<std::int64_t>(disk.f_frsize);
}

bool syncFolderOf(const QString &path) {
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString folderPath = slash > 0 ? path.left(slash) : QStringLiteral("/");
    const FileDescriptor folder(
        ::open(QFile::encodeName(folderPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder && ::fsync(folder.get()) == 0;
}

} // namespace AudioFiles
