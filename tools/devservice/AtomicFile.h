#pragma once
// Replaces a file's content so that a crash at any moment leaves either the old or the new
// content readable, never a mixture.

#include <filesystem>
#include <string_view>

class AtomicFile {
public:
    // Writes `<path>.tmp`, flushes it to disk, renames it over `path` and flushes the folder.
    // Throws std::system_error; on failure `path` still holds its previous content.
    static void write(const std::filesystem::path &path, std::string_view content);

    // The temporary name write() uses next to `path`.
    [[nodiscard]] static std::filesystem::path temporaryPath(const std::filesystem::path &path);
};
