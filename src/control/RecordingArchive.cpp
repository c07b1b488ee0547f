#include "RecordingArchive.h"

#include "AudioFiles.h"
#include "RecordingFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSaveFile>

#include <algorithm>

namespace {

std::optional<RecordingManifest> readManifest(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return RecordingManifest::fromJson(file.read(RecordingManifest::maxBytes + 1));
}

} // namespace

RecordingArchive::RecordingArchive(QString folder)
    : m_folder(std::move(folder)) {}

QString RecordingArchive::pathOf(const QString &fileName) const {
    return m_folder + QLatin1Char('/') + fileName;
}

bool RecordingArchive::save(const RecordingManifest &manifest) const {
    QSaveFile file(pathOf(manifest.fileName()));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray json = manifest.toJson();
    // The commit syncs the new file before it takes the name; the folder is synced after, so
    // the name holds the new manifest after a power cut before anything acts on it.
    return file.write(json) == json.size() && file.commit() &&
           AudioFiles::syncFolderOf(file.fileName());
}

void RecordingArchive::remove(const QString &recordingId) const {
    if (!RecordingFiles::isId(recordingId))
        return;
    const QDir dir(m_folder);
    for (const QString &name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        const std::optional<RecordingFiles::Name> part = RecordingFiles::parse(name);
        if (part && part->id == recordingId && part->kind != RecordingFiles::Kind::lock)
            QFile::remove(dir.filePath(name));
    }
}

bool RecordingArchive::holdsFiles() const {
    return !QDir(m_folder).isEmpty(QDir::Files | QDir::Hidden | QDir::System);
}

QList<RecordingArchive::Unfinished> RecordingArchive::unfinished(Look look) const {
    QMap<QString, Unfinished> found;
    QMap<QString, QDateTime> oldestFile;
    QMap<QString, QStringList> leftovers;
    QMap<QString, QString> manifests;
    const QDir dir(m_folder);
    for (const QFileInfo &info : dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System)) {
        const std::optional<RecordingFiles::Name> part = RecordingFiles::parse(info.fileName());
        // Links and foreign files are never taken for audio, and only regular files are
        // read: opening a FIFO or a device under a recording's name would block for good.
        if (!part || info.isSymLink() || !info.isFile())
            continue;
        Unfinished &recording = found[part->id];
        recording.id = part->id;
        switch (part->kind) {
        case RecordingFiles::Kind::manifest:
            manifests[part->id] = info.filePath();
            continue;
        // A stop that finished turned the mix made while recording into the mix or removed
        // it, so one still here was cut short with its recording, whose parts are the
        // recording; so was a manifest write left under QSaveFile's temporary name.
        case RecordingFiles::Kind::liveMix:
        case RecordingFiles::Kind::manifestDraft:
            leftovers[part->id] << info.filePath();
            continue;
        case RecordingFiles::Kind::lock:
            continue;
        case RecordingFiles::Kind::systemPart:
        case RecordingFiles::Kind::microphonePart:
            recording.partFiles << info.filePath();
            break;
        case RecordingFiles::Kind::mix:
            recording.mixedFile = info.filePath();
            break;
        }
        const QDateTime modified = info.lastModified().toUTC();
        QDateTime &oldest = oldestFile[part->id];
        if (!oldest.isValid() || modified < oldest)
            oldest = modified;
    }

    QList<Unfinished> recordings;
    for (Unfinished &recording : found) {
        if (look == Look::takeAndTidy) {
            recording.lock = RecordingLock::tryTake(m_folder, recording.id);
            if (!recording.lock)
                continue;
            // A holder that let go just before may have removed what the look found.
            recording.partFiles.removeIf([](const QString &path) { return !QFile::exists(path); });
            if (!QFile::exists(recording.mixedFile))
                recording.mixedFile.clear();
            for (const QString &path : leftovers.value(recording.id))
                QFile::remove(path);
        }
        if (recording.partFiles.isEmpty() && recording.mixedFile.isEmpty()) {
            if (look == Look::takeAndTidy)
                remove(recording.id);
            continue;
        }
        // Read under the lock: its holder may have been rewriting it during the look.
        if (manifests.contains(recording.id))
            recording.manifest = readManifest(manifests.value(recording.id));
        // A manifest that names another recording was not written by this program.
        if (recording.manifest && recording.manifest->id != recording.id)
            recording.manifest.reset();
        recording.partFiles.sort();
        recording.startTime =
            recording.manifest ? recording.manifest->startTime : oldestFile.value(recording.id);
        recordings << recording;
    }
    std::sort(recordings.begin(), recordings.end(), [](const Unfinished &a, const Unfinished &b) {
        return a.startTime < b.startTime || (a.startTime == b.startTime && a.id < b.id);
    });
    return recordings;
}
