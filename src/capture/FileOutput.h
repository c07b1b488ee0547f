#pragma once
// Where a muxer writes: a file this program created itself (AudioFiles::createFile), handed to
// FFmpeg as an open descriptor, so FFmpeg never opens the file by name, not even for the
// second pass that moves a faststart index to the front.

#include "FileDescriptor.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

struct AVFormatContext;
struct AVIOContext;

class FileOutput {
public:
    enum class WhenFull {
        fail, // a write that finds no room fails the file
        wait, // what finds no room waits here, in order, until a later write or
              // writeWaiting() finds room: a recording goes on through a full disk
    };

    // Creates the new file `path`. Throws AudioFileError.
    explicit FileOutput(const QString &path, WhenFull whenFull = WhenFull::fail);
    ~FileOutput();
    FileOutput(const FileOutput &) = delete;
    FileOutput &operator=(const FileOutput &) = delete;

    // Makes `format` write here; it must not outlive this object's context. The format's own
    // deleter then leaves the context alone (AVFMT_FLAG_CUSTOM_IO).
    void attachTo(AVFormatContext *format);
    // Asks the kernel to put what was written so far on the disk (fdatasync), and the first
    // time the folder too, so a power cut costs only what came after. Blocks for the disk:
    // never on the sound server's or the GUI thread. A failure is kept and reported by close().
    void sync();
    // Writes out what is buffered, puts the file on the disk and closes it, then puts its
    // folder on the disk too, so the file is there after a power cut before anything that it
    // replaces is removed. Throws AudioFileError when any write or sync on the way failed (a
    // full disk, a failing disk) or the file cannot be closed.
    void close();

    // True while bytes wait for room on the disk (WhenFull::wait).
    [[nodiscard]] bool waitsForRoom() const noexcept { return !m_waiting.empty(); }
    // Bytes the muxer has handed over so far, and how many of them are in the file: all but
    // those that wait, which are always the newest.
    [[nodiscard]] std::int64_t bytesTaken() const noexcept { return m_taken; }
    [[nodiscard]] std::int64_t bytesInFile() const noexcept {
        return m_taken - static_cast<std::int64_t>(m_waiting.size());
    }
    // Writes what waits for room; true once nothing waits. Throws AudioFileError on any
    // failure but a lack of room.
    bool writeWaiting();

private:
    struct IoDeleter {
        void operator()(AVIOContext *io) const noexcept;
    };

    // The muxer's writing context calls these.
    static int writeOut(void *opaque, std::uint8_t *data, int size);
    static std::int64_t seekOut(void *opaque, std::int64_t offset, int whence);
    // The errno of writing what waits (0 once it is all written).
    int flushWaiting();

    QString m_path;
    FileDescriptor m_file;
    int m_syncError = 0; // the errno of the first sync that failed
    bool m_nameSynced = false;
    const WhenFull m_whenFull;
    // Bytes the muxer handed over that found no room yet, oldest first. Only the bytes in
    // flight when the disk filled up: the track's encoder holds its audio back meanwhile.
    std::vector<std::uint8_t> m_waiting;
    std::int64_t m_taken = 0;
    std::unique_ptr<AVIOContext, IoDeleter> m_io;
};
