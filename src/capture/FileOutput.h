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
    // Writes out what is buffered and closes the file. Throws AudioFileError when any write
    // on the way failed (a full disk) or the file cannot be closed.
    void close();

private:
    struct IoDeleter {
        void operator()(AVIOContext *io) const noexcept;
    };

    FileDescriptor m_file;
    std::unique_ptr<AVIOContext, IoDeleter> m_io;
};
