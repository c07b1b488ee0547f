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
