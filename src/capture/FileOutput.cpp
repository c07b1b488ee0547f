#include "FileOutput.h"

#include "AudioFileError.h"
#include "AudioFiles.h"
#include "FfmpegPtr.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int bufferSize = 64 * 1024;

// What a reading context made for the faststart pass works on: the same file, at its own
// position, so the muxer's writing position is not moved under it.
struct Reader {
    int fd = -1;
    std::int64_t position = 0;
};

int fdOf(void *opaque) {
    return static_cast<FileDescriptor *>(opaque)->get();
}

std::int64_t seekIn(int fd, std::int64_t offset, int whence) {
    if (whence & AVSEEK_SIZE) {
        struct stat info {};
        return ::fstat(fd, &info) == 0 ? static_cast<std::int64_t>(info.st_size) : AVERROR(errno);
    }
    const off_t position = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : static_cast<std::int64_t>(position);
}

bool outOfRoom(int error) {
    // A file-size limit (EFBIG) is lifted like a quota, by the user: the same wait.
    return error == ENOSPC || error == EDQUOT || error == EFBIG;
}

// Writes `data` from `done` on, moving `done`; the errno that stopped it, 0 when all went.
int writeAll(int fd, const std::uint8_t *data, std::size_t size, std::size_t &done) {
    while (done < size) {
        const ssize_t written = ::write(fd, data + done, size - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

int readPacket(void *opaque, std::uint8_t *data, int size) {
    auto *reader = static_cast<Reader *>(opaque);
    for (;;) {
        const ssize_t got = ::pread(reader->fd, data, static_cast<size_t>(size),
                                    static_cast<off_t>(reader->position));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return AVERROR(errno);
        if (got == 0)
            return AVERROR_EOF;
        reader->position += got;
        return static_cast<int>(got);
    }
}

std::int64_t seekRead(void *opaque, std::int64_t offset, int whence) {
    auto *reader = static_cast<Reader *>(opaque);
    if (whence & AVSEEK_SIZE)
        return seekIn(reader->fd, 0, AVSEEK_SIZE);
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
        reader->position = offset;
        return offset;
    case SEEK_CUR:
        reader->position += offset;
        return reader->position;
    default:
        return AVERROR(EINVAL);
    }
}

void freeContext(AVIOContext *io) noexcept {
    if (!io)
        return;
    av_freep(&io->buffer);
    avio_context_free(&io);
}

// The muxer asks for the file again to read it back (the faststart pass). It gets the
// descriptor it is already writing through; any other name, or writing, is refused.
int openForReading(AVFormatContext *format, AVIOContext **io, const char *, int flags,
                   AVDictionary **) {
    if ((flags & AVIO_FLAG_WRITE) || !format->opaque)
        return AVERROR(EPERM);
    auto reader = std::make_unique<Reader>();
    reader->fd = fdOf(format->opaque);
    auto *buffer = static_cast<unsigned char *>(av_malloc(bufferSize));
    if (!buffer)
        return AVERROR(ENOMEM);
    *io = avio_alloc_context(buffer, bufferSize, 0, reader.get(), &readPacket, nullptr, &seekRead);
    if (!*io) {
        av_free(buffer);
        return AVERROR(ENOMEM);
    }
    reader.release(); // owned by the context from here; closeReading frees it
    return 0;
}

int closeReading(AVFormatContext *, AVIOContext *io) {
    if (!io)
        return 0;
    std::unique_ptr<Reader> reader(static_cast<Reader *>(io->opaque));
    freeContext(io);
    return 0;
}

} // namespace

void FileOutput::IoDeleter::operator()(AVIOContext *io) const noexcept {
    freeContext(io);
}

int FileOutput::flushWaiting() {
    std::size_t done = 0;
    const int error = writeAll(m_file.get(), m_waiting.data(), m_waiting.size(), done);
    m_waiting.erase(m_waiting.begin(), m_waiting.begin() + static_cast<std::ptrdiff_t>(done));
    return error;
}

int FileOutput::writeOut(void *opaque, std::uint8_t *data, int size) {
    auto *self = static_cast<FileOutput *>(opaque);
    int error = self->flushWaiting();
    std::size_t done = 0;
    if (error == 0)
        error = writeAll(self->m_file.get(), data, static_cast<std::size_t>(size), done);
    if (error != 0 && (self->m_whenFull == WhenFull::fail || !outOfRoom(error)))
        return AVERROR(error);
    if (error != 0)
        self->m_waiting.insert(self->m_waiting.end(), data + done, data + size);
    self->m_taken += size;
    return size;
}

std::int64_t FileOutput::seekOut(void *opaque, std::int64_t offset, int whence) {
    auto *self = static_cast<FileOutput *>(opaque);
    // The file's end is where the waiting bytes go: no seek before they are written.
    if (const int error = self->flushWaiting(); error != 0)
        return AVERROR(error);
    return seekIn(self->m_file.get(), offset, whence);
}

bool FileOutput::writeWaiting() {
    const int error = flushWaiting();
    if (error != 0 && !outOfRoom(error))
        throw AudioFileError(std::string("cannot write the audio file: ") + std::strerror(error));
    return m_waiting.empty();
}

FileOutput::FileOutput(const QString &path, WhenFull whenFull)
    : m_path(path)
    , m_file(AudioFiles::createFile(path))
    , m_whenFull(whenFull) {
    auto *buffer = static_cast<unsigned char *>(av_malloc(bufferSize));
    if (!buffer)
        throw AudioFileError("cannot allocate the output buffer");
    m_io.reset(avio_alloc_context(buffer, bufferSize, 1, this, nullptr, &writeOut, &seekOut));
    if (!m_io) {
        av_free(buffer);
        throw AudioFileError("cannot allocate the output context");
    }
}

FileOutput::~FileOutput() = default;

void FileOutput::attachTo(AVFormatContext *format) {
    format->pb = m_io.get();
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    format->opaque = &m_file;
    format->io_open = &openForReading;
    format->io_close2 = &closeReading;
}

void FileOutput::sync() {
    if (!m_file)
        return;
    if (::fdatasync(m_file.get()) != 0) {
        // The kernel reports a failed write-back once: it is kept, or a later sync would pass.
        if (m_syncError == 0)
            m_syncError = errno;
        return;
    }
    // Its name too, once: a file on the disk is lost all the same while its folder is not.
    if (!m_nameSynced)
        m_nameSynced = AudioFiles::syncFolderOf(m_path);
}

void FileOutput::close() {
    if (!m_file)
        return;
    avio_flush(m_io.get());
    // Still no room for what waits: the file ends where the disk did.
    const int error = m_io->error < 0 ? m_io->error : AVERROR(flushWaiting());
    if (error == 0 && ::fsync(m_file.get()) != 0 && m_syncError == 0)
        m_syncError = errno;
    const bool closed = m_file.reset();
    if (error < 0)
        throw AudioFileError("cannot write the audio file: " + ffmpeg::errorText(error));
    if (m_syncError != 0)
        throw AudioFileError(std::string("cannot put the audio file on the disk: ") +
                             std::strerror(m_syncError));
    if (!closed)
        throw AudioFileError("cannot close the audio file");
    if (!AudioFiles::syncFolderOf(m_path))
        throw AudioFileError("cannot put the audio folder on the disk");
}
