#pragma once
// Where meeting audio lives on disk: a private per-user folder under the system temporary
// directory, because /tmp is shared and meeting audio must not be readable by other users.

#include "FileDescriptor.h"

#include <QString>

namespace AudioFiles {

// The folder (mode 0700), created on first use. Throws AudioFileError when it cannot be
// made private (for example when another user owns a folder of that name).
QString privateFolder();

// A fresh path in the private folder: prefix + upper-case UUID + ".m4a". The file itself is
// not created.
QString newFilePath(const QString &prefix);

// Creates the new file `path` (mode 0600) open for reading and writing. Its folder is opened
// once, without following a link, and must be ours with mode 0700; the file is made relative
// to that handle and must not exist yet, so a link planted at either name is never followed.
// Throws AudioFileError.
FileDescriptor createFile(const QString &path);

} // namespace AudioFiles
