#pragma once
// Turns one fragmented part file into a standard M4A with its index at the front, by copying
// its AAC packets (no re-encoding).

#include <QString>

#include <cstdint>
#include <optional>

// Writes the new file `outPath` from the part file `partPath`. The encoder's priming at the
// start is trimmed through the edit list, and so, when `frames` (the track's true length) is
// known, is the padding of the last frame. Returns the length of the new file in frames.
// Throws AudioFileError when the part cannot be read or the new file cannot be written; the
// caller removes what was written.
std::int64_t remuxTrack(const QString &partPath, const QString &outPath,
                        std::optional<std::int64_t> frames);
