#include "UploadFile.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

UploadFile::UploadFile(const std::filesystem::path &folder) {
    std::string pattern = (folder / ".upload-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    m_fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (m_fd < 0)
        throw std::system_error(errno, std::generic_category(), "cannot create an upload file");
    m_path = name.data();
}

UploadFile::~UploadFile() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_committed)
        ::unlink(m_path.c_str());
}

bool UploadFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(m_fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void UploadFile::flush() {
    if (::fsync(m_fd) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot flush an upload file");
}

void UploadFile::commit(const std::filesystem::path &target) {
    if (::rename(m_path.c_str(), target.c_str()) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot store an upload file");
    m_committed = true;
}
