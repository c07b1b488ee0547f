#pragma once
// Where meeting audio lives on disk: a private folder under the user's data directory
// (~/.local/share/tolvex/recordings), which survives a reboot, unlike the temporary directory,
// so a recording that has not reached the service is never lost with it.

#include "FileDescriptor.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace AudioFiles {

// The folder (mode 0700), created on first use. Throws AudioFileError when it cannot be
// made private (for example when another user owns a folder of that name).
QString privateFolder();

// A fresh path in the private folder: prefix + upper-case UUID + ".m4a". The file itself is
// not created.
QString newFilePath(const QString &prefix);

// A new recording's id (an upper-case UUID): every file of the recording carries it,
// "sys_<id>.m4a", "mic_<id>.m4a", the mix made while recording "live_<id>.m4a" and the mix
// "<id>.m4a", so its files can be found together after a crash.
QString newRecordingId();
// The part files and the mix of a recording, in the private folder.
QString partPath(const QString &prefix, const QString &recordingId);
// The mix made from a part file: "<folder>/sys_<id>.m4a" gives "<folder>/<id>.m4a"; a part
// named otherwise gives a fresh name.
QString mixedPathFor(const QString &partPath);

// Creates the new file `path` (mode 0600) open for reading and writing. Its folder is opened
// once, without following a link, and must be ours with mode 0700; the file is made relative
// to that handle and must not exist yet, so a link planted at either name is never followed.
// Throws AudioFileError.
FileDescriptor createFile(const QString &path);

// The bytes an unprivileged user may still write on the file system that holds `folder`;
// nothing when that cannot be told.
std::optional<std::int64_t> freeBytes(const QString &folder);

// Puts the folder that holds `path` on the disk (fsync), so that a file created or removed in
// it stays so after a power cut; false when that failed.
bool syncFolderOf(const QString &path);

} // namespace AudioFiles
