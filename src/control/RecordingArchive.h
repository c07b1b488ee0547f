#pragma once
// The recordings folder as a set of recordings: each one its manifest and audio files, all
// named by the recording's id. Finds what a quit, a crash or a reboot left unfinished, and
// removes a recording once it has reached the service or the user has given it up.

#include "RecordingLock.h"
#include "RecordingManifest.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class RecordingArchive {
public:
    // `folder` exists and is private; the archive never creates or checks it.
    explicit RecordingArchive(QString folder);

    [[nodiscard]] const QString &folder() const noexcept { return m_folder; }
    [[nodiscard]] QString pathOf(const QString &fileName) const;

    // Replaces the recording's manifest in one step (a crash or a power cut leaves the old one
    // or the new one, never half of either), and on the disk before it returns; mode 0600.
    // False when it could not be written.
    bool save(const RecordingManifest &manifest) const;

    // Every file of the recording: audio, manifest, and what a crash cut short (a manifest
    // write, a mix made while recording). Its lock file is its holder's to remove.
    void remove(const QString &recordingId) const;

    // Whether the folder holds any file at all: the cheap look before unfinished().
    [[nodiscard]] bool holdsFiles() const;

    struct Unfinished {
        QString id;
        // Nothing when the manifest is missing or unreadable: the audio is still offered.
        std::optional<RecordingManifest> manifest;
        QStringList partFiles; // absolute paths of the part files present
        QString mixedFile;     // absolute path; empty when there is none on disk
        // From the manifest, or else the oldest audio file's modification time.
        QDateTime startTime;
        // Held from the look on (unless only looked at): whoever keeps it may act on the files.
        std::shared_ptr<RecordingLock> lock;
    };
    enum class Look {
        takeAndTidy, // locks each recording; skips what another holder has
        only,        // locks nothing and changes nothing
    };
    // Every recording in the folder, oldest first. With takeAndTidy, recordings without any
    // audio file are removed on the way (a crash between creating the meeting and starting
    // the capture), and so is a mix made while recording that a crash cut short: the parts
    // are the recording. Recordings another holder has are not even looked at.
    [[nodiscard]] QList<Unfinished> unfinished(Look look = Look::takeAndTidy) const;

private:
    QString m_folder;
};
