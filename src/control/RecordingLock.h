#pragma once
// A hold on one recording: while a process (or a view model within it) has it, nobody else
// mixes, sends or removes that recording's files. An flock on "<id>.lock" beside the
// recording, which the system lets go of when the holder dies, and whose file the holder
// removes when it lets go.

#include "FileDescriptor.h"

#include <QString>

#include <memory>

class RecordingLock {
public:
    // Nothing when someone else holds the recording, or the lock file cannot be made.
    [[nodiscard]] static std::unique_ptr<RecordingLock> tryTake(const QString &folder,
                                                                const QString &recordingId);
    ~RecordingLock();
    RecordingLock(const RecordingLock &) = delete;
    RecordingLock &operator=(const RecordingLock &) = delete;

private:
    RecordingLock(QByteArray path, FileDescriptor file);
    // Whether the lock file at the path is still the one this holder has open: a holder that
    // let go removed its file, and a lock on a removed file holds nothing.
    [[nodiscard]] bool ownsPath() const;

    QByteArray m_path;
    FileDescriptor m_file;
};
