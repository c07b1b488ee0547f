#pragma once
// Where meeting audio lives on disk: a private per-user folder under the system temporary
// directory, because /tmp is shared and meeting audio must not be readable by other users.

#include <QString>

namespace AudioFiles {

// The folder (mode 0700), created on first use. Throws AudioFileError when it cannot be
// made private (for example when another user owns a folder of that name).
QString privateFolder();

// A fresh path in the private folder: prefix + upper-case UUID + ".m4a". The file itself is
// not created.
QString newFilePath(const QString &prefix);

} // namespace AudioFiles
