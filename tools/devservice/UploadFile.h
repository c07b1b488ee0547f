#pragma once
// An upload on its way to disk: a private temporary file that is removed unless it is moved
// into place, so a refused or broken upload leaves nothing behind.

#include <filesystem>
#include <string_view>

class UploadFile {
public:
    // Creates a fresh file in `folder` (mode 0600); throws std::system_error.
    explicit UploadFile(const std::filesystem::path &folder);
    ~UploadFile();
    UploadFile(const UploadFile &) = delete;
    UploadFile &operator=(const UploadFile &) = delete;

    // False when the bytes could not be written (disk full, I/O error).
    bool write(std::string_view bytes);
    // Flushes the file to disk; throws std::system_error.
    void flush();
    // Renames the flushed file to `target`, replacing any file there; throws std::system_error.
    void commit(const std::filesystem::path &target);

    [[nodiscard]] const std::filesystem::path &path() const noexcept { return m_path; }

private:
    std::filesystem::path m_path;
    int m_fd = -1;
    bool m_committed = false;
};
