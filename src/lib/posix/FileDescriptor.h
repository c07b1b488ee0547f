#pragma once
// Owns one open file descriptor and closes it once.

#include <unistd.h>

#include <utility>

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept
        : m_fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor &&other) noexcept
        : m_fd(std::exchange(other.m_fd, -1)) {}
    FileDescriptor &operator=(FileDescriptor &&other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    [[nodiscard]] int get() const noexcept { return m_fd; }
    [[nodiscard]] bool isOpen() const noexcept { return m_fd >= 0; }
    explicit operator bool() const noexcept { return isOpen(); }

    // Closes now; returns false when close() reported an error (data may not have reached
    // the disk).
    bool reset() noexcept {
        if (m_fd < 0)
            return true;
        const bool closed = ::close(std::exchange(m_fd, -1)) == 0;
        return closed;
    }

private:
    int m_fd = -1;
};
