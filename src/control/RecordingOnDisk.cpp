#include "RecordingOnDisk.h"

#include "AudioDecoder.h"
#include "RecordingFiles.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <utility>

RecordingOnDisk::RecordingOnDisk(RecordingArchive archive, RecordingManifest manifest)
    : m_archive(std::move(archive))
    , m_manifest(std::move(manifest)) {
    // Held before the manifest is written, so that no other copy takes the recording for one
    // a crash left behind.
    m_lock = RecordingLock::tryTake(m_archive.folder(), m_manifest.id);
    advance(Stage::meetingCreated);
}

RecordingOnDisk::RecordingOnDisk(RecordingArchive archive, RecordingManifest manifest,
                                 std::shared_ptr<RecordingLock> lock)
    : m_archive(std::move(archive))
    , m_manifest(std::move(manifest))
    , m_lock(std::move(lock)) {}

void RecordingOnDisk::setMeeting(std::int64_t meetingId) {
    m_manifest.meetingId = meetingId;
    m_archive.save(m_manifest);
}

void RecordingOnDisk::removeHeldFiles() {
    if (!m_heldFile.isEmpty())
        QFile::remove(m_heldFile);
    for (const QString &part : std::as_const(m_heldParts))
        QFile::remove(part);
    m_heldFile.clear();
    m_heldParts.clear();
}

bool RecordingOnDisk::capturing() {
    using Kind = RecordingFiles::Kind;
    m_manifest.partFiles = {RecordingFiles::fileName(Kind::systemPart, m_manifest.id),
                            RecordingFiles::fileName(Kind::microphonePart, m_manifest.id)};
    return advance(Stage::capturing);
}

bool RecordingOnDisk::stopped(const RecordedAudio &audio) {
    keepPartNames(audio.partFiles);
    keepLoss(audio);
    return advance(Stage::stopped);
}

bool RecordingOnDisk::mixed(const RecordedAudio &audio) {
    m_heldFile = audio.filePath;
    m_heldParts = audio.partFiles;
    // Without a file the mix failed: what is left are the complete parts.
    if (audio.filePath.isEmpty())
        return stopped(audio);
    m_manifest.mixedFile = nameIfInFolder(audio.filePath);
    keepPartNames(audio.partFiles);
    // What the next launch checks the mix against before it trusts it.
    m_manifest.mixLength = AudioDecoder::lengthOf(audio.filePath);
    keepLoss(audio);
    return advance(Stage::mixed);
}

RecordedAudio RecordingOnDisk::withKeptLoss(RecordedAudio audio) const {
    if (audio.loss == RecordedAudio::Loss::mixFailed || !m_manifest.trackCut)
        return audio;
    audio.loss = RecordedAudio::Loss::trackCut;
    audio.affectedTrack = audio.affectedTrack ? audio.affectedTrack : m_manifest.cutTrack;
    audio.systemLostToFullDisk =
        std::max(audio.systemLostToFullDisk, m_manifest.systemLostToFullDisk);
    audio.microphoneLostToFullDisk =
        std::max(audio.microphoneLostToFullDisk, m_manifest.microphoneLostToFullDisk);
    return audio;
}

void RecordingOnDisk::keepLoss(const RecordedAudio &audio) {
    const bool cut = audio.loss == RecordedAudio::Loss::trackCut;
    if (!cut && audio.systemLostToFullDisk.count() == 0 &&
        audio.microphoneLostToFullDisk.count() == 0)
        return;
    m_manifest.trackCut = true;
    if (cut)
        m_manifest.cutTrack = audio.affectedTrack;
    m_manifest.systemLostToFullDisk =
        std::max(m_manifest.systemLostToFullDisk, audio.systemLostToFullDisk);
    m_manifest.microphoneLostToFullDisk =
        std::max(m_manifest.microphoneLostToFullDisk, audio.microphoneLostToFullDisk);
}

void RecordingOnDisk::keepPartNames(const QStringList &partPaths) {
    m_manifest.partFiles.clear();
    for (const QString &part : partPaths) {
        if (const QString name = nameIfInFolder(part); !name.isEmpty())
            m_manifest.partFiles << name;
    }
}

void RecordingOnDisk::delivered() {
    advance(Stage::delivered);
    discard();
}

void RecordingOnDisk::discard() {
    m_archive.remove(m_manifest.id);
    m_lock.reset();
}

bool RecordingOnDisk::advance(Stage to) {
    m_manifest.stage = to;
    return m_archive.save(m_manifest);
}

QString RecordingOnDisk::nameIfInFolder(const QString &path) const {
    const QFileInfo info(path);
    return info.absolutePath() == QFileInfo(m_archive.folder()).absoluteFilePath() ? info.fileName()
                                                                                   : QString();
}
