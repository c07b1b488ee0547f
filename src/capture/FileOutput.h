#pragma once
// Where a muxer writes: a file this program created itself (AudioFiles::createFile), handed to
// FFmpeg as an open descriptor, so FFmpeg never opens the file by name, not even for the
// second pass that moves a faststart index to the front.

#include "FileDescriptor.h"

#include <QString>

#include <memory>

struct AVFormatContext;
struct AVIOContext;

class FileOutput {
public:
    // Creates the new file `path`. Throws AudioFileError.
    explicit FileOutput(const QString &path);
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

private:
    struct IoDeleter {
        void operator()(AVIOContext *io) const noexcept;
    };

    QString m_path;
    FileDescriptor m_file;
    int m_syncError = 0; // the errno of the first sync that failed
    bool m_nameSynced = false;
    std::unique_ptr<AVIOContext, IoDeleter> m_io;
};
