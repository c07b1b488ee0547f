#include "AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace {

class Fd {
public:
    explicit Fd(int fd) noexcept
        : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    [[nodiscard]] int get() const noexcept { return m_fd; }
    // Closes now so that a failing close is reported, not lost in the destructor.
    void close(const char *what) {
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0)
            throw std::system_error(errno, std::generic_category(), what);
    }

private:
    int m_fd;
};

[[noreturn]] void throwErrno(const char *what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

std::filesystem::path AtomicFile::temporaryPath(const std::filesystem::path &path) {
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    return temporary;
}

void AtomicFile::write(const std::filesystem::path &path, std::string_view content) {
    const std::filesystem::path temporary = temporaryPath(path);
    {
        Fd file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (file.get() < 0)
            throwErrno("cannot create the temporary state file");
        std::size_t written = 0;
        while (written < content.size()) {
            const ssize_t n =
                ::write(file.get(), content.data() + written, content.size() - written);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                throwErrno("cannot write the temporary state file");
            }
            written += static_cast<std::size_t>(n);
        }
        if (::fsync(file.get()) != 0)
            throwErrno("cannot flush the temporary state file");
        file.close("cannot close the temporary state file");
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        throwErrno("cannot replace the state file");
    // The rename itself lives in the folder; without this a crash may undo it.
    std::filesystem::path folder = path.parent_path();
    if (folder.empty())
        folder = ".";
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        throwErrno("cannot open the data folder");
    if (::fsync(dir.get()) != 0)
        throwErrno("cannot flush the data folder");
}
