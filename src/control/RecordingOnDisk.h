#pragma once
// One recording's life on disk, from the meeting made for it to its delivery: its manifest,
// the names of its files, its lock, and the stage it has reached. Every stage is written down
// (the manifest synced, then its folder) before the step after it acts, and files are removed
// only once a stage that no longer needs them is on the disk. A quit, a crash or a power cut at
// any point leaves a recording the next launch can go on with.

#include "RecordedAudio.h"
#include "RecordingArchive.h"
#include "RecordingLock.h"
#include "RecordingManifest.h"

#include <QString>
#include <QStringList>

#include <memory>

class RecordingOnDisk {
public:
    using Stage = RecordingManifest::Stage;

    // A new recording of `manifest` (its id, meeting, account, service and start time), taken
    // for this process and written down at meetingCreated.
    RecordingOnDisk(RecordingArchive archive, RecordingManifest manifest);
    // One an earlier run left behind, found by the archive under `lock`.
    RecordingOnDisk(RecordingArchive archive, RecordingManifest manifest,
                    std::shared_ptr<RecordingLock> lock);
    // Lets go of the recording; its files stay for the next launch.
    ~RecordingOnDisk() = default;
    RecordingOnDisk(const RecordingOnDisk &) = delete;
    RecordingOnDisk &operator=(const RecordingOnDisk &) = delete;

    [[nodiscard]] const RecordingManifest &manifest() const noexcept { return m_manifest; }
    [[nodiscard]] Stage stage() const noexcept { return m_manifest.stage; }
    // The meeting the audio goes to; a recording found without its manifest gets one later.
    void setMeeting(std::int64_t meetingId);
    // What the recorder last handed back, as it named them: the file to upload (empty when
    // there is none) and the parts kept beside it. They may lie outside the folder.
    [[nodiscard]] const QString &heldFile() const noexcept { return m_heldFile; }
    [[nodiscard]] const QStringList &heldParts() const noexcept { return m_heldParts; }
    // Removes the held file and parts wherever they lie.
    void removeHeldFiles();

    // The stages, in order. Each returns false when its manifest could not be written (a full
    // or failing disk): the files stay as they are, and recovery reads them without it.
    // The capture writes the part files.
    bool capturing();
    // The capture ended; the parts of `audio` are complete, but not mixed (the mix failed, or
    // the program quits and leaves the mix to the next launch), and what it lost is kept.
    bool stopped(const RecordedAudio &audio);
    // What the recorder handed back: the file to upload (on the disk already) and the parts
    // it still needs, with what the recording lost.
    bool mixed(const RecordedAudio &audio);
    // `audio` with the loss this recording is known to have had: a mix of the parts cannot
    // tell what their capture lost, so a later mix is told as the first stop was.
    [[nodiscard]] RecordedAudio withKeptLoss(RecordedAudio audio) const;
    // The service has the audio: this is written down first, so that a crash before the files
    // are gone cannot send it twice; then every file goes and the lock is let go.
    void delivered();
    // The user gave the recording up: every file goes.
    void discard();

private:
    // The one place where the stage changes: writes the manifest with the new stage.
    bool advance(Stage to);
    // A loss stays told: a later mix of what is left cannot bring the lost audio back.
    void keepLoss(const RecordedAudio &audio);
    void keepPartNames(const QStringList &partPaths);
    [[nodiscard]] QString nameIfInFolder(const QString &path) const;

    RecordingArchive m_archive;
    RecordingManifest m_manifest;
    std::shared_ptr<RecordingLock> m_lock;
    QString m_heldFile;
    QStringList m_heldParts;
};
