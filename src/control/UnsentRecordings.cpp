#include "UnsentRecordings.h"

#include "ApiBaseUrl.h"
#include "AudioDecoder.h"
#include "UserTexts.h"

#include <QCoroFuture>
#include <QFile>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <chrono>
#include <utility>

UnsentRecordings::UnsentRecordings(RecordingArchive archive, Recorder &recorder)
    : m_archive(std::move(archive))
    , m_recorder(recorder) {}

bool UnsentRecordings::isOwnRecording(const RecordingManifest &manifest, const Owner &owner) {
    if (manifest.userId && (!owner.userId || *manifest.userId != *owner.userId))
        return false;
    // A manifest from before addresses were kept does not say where its meeting is: it goes
    // only to the released service, where nearly all of them were made, and never to a
    // development or staging one. (One made against such a service then cannot be told apart.)
    const QString address = manifest.apiBaseUrl.isEmpty()
                                ? QString::fromLatin1(ApiBaseUrl::releasedBaseUrl)
                                : manifest.apiBaseUrl;
    return address == owner.apiBaseUrl;
}

bool UnsentRecordings::mixIsWhole(const RecordingArchive::Unfinished &found) {
    const std::optional<std::chrono::milliseconds> length = AudioDecoder::lengthOf(found.mixedFile);
    if (!length || !AudioDecoder::holdsAudio(found.mixedFile))
        return false;
    constexpr std::chrono::seconds tolerance(1);
    if (found.manifest && found.manifest->mixLength)
        return std::chrono::abs(*length - *found.manifest->mixLength) <= tolerance;
    // Made by a stop that did not get to write down its length: as long as every part left.
    return std::ranges::all_of(found.partFiles, [&](const QString &part) {
        const std::optional<std::chrono::milliseconds> partLength = AudioDecoder::lengthOf(part);
        return !partLength || *partLength <= *length + tolerance;
    });
}

bool UnsentRecordings::isEmptyPart(const QString &path) {
    // A part without a single sample is a few hundred bytes of header; one that is larger and
    // gives no audio could not be read, which is no reason to delete it.
    constexpr qint64 headerOnly = 16 * 1024;
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() <= headerOnly &&
           file.readAll().size() == file.size();
}

UnsentRecordings::Inspection UnsentRecordings::inspect(const RecordingArchive::Unfinished &found) {
    Inspection inspection;
    inspection.mixIsWhole = !found.mixedFile.isEmpty() && mixIsWhole(found);
    if (inspection.mixIsWhole)
        return inspection;
    for (const QString &part : found.partFiles) {
        if (AudioDecoder::holdsAudio(part))
            inspection.withAudio << part;
        else if (isEmptyPart(part))
            inspection.empty << part;
    }
    return inspection;
}

QCoro::Task<std::optional<UnsentRecordings::Offer>>
UnsentRecordings::takeOldest(Owner owner, QPointer<QObject> asker, QSet<QString> passed) {
    for (const RecordingArchive::Unfinished &found : m_archive.unfinished()) {
        if (passed.contains(found.id))
            continue;
        // Sent already: a crash came before its files were gone.
        if (found.manifest && found.manifest->stage == RecordingManifest::Stage::delivered) {
            m_archive.remove(found.id);
            continue;
        }
        // Another account's or another service's recording waits, untouched, for that account
        // on that service: its meeting is not this one's, and its audio is not either.
        if (found.manifest && !isOwnRecording(*found.manifest, owner))
            continue;
        // Futures made outside the co_await: GCC 12 destroys temporaries of a co_await
        // expression twice.
        QFuture<Inspection> inspecting = QtConcurrent::run(&UnsentRecordings::inspect, found);
        const Inspection inspection = co_await inspecting;
        if (!asker)
            co_return std::nullopt;
        RecordedAudio audio;
        bool unreadable = false;
        if (inspection.mixIsWhole) {
            // A whole mix is never replaced: parts still beside it were on their way out (a
            // quit between two removals), and go once the mix has been sent.
            audio.filePath = found.mixedFile;
            audio.partFiles = found.partFiles;
        } else if (found.partFiles.isEmpty()) {
            // Nothing to mix it again from: offered for what it holds, as a recording that
            // lost audio.
            audio.filePath = found.mixedFile;
            audio.loss = RecordedAudio::Loss::trackCut;
        } else if (inspection.withAudio.size() + inspection.empty.size() < found.partFiles.size()) {
            // A part that cannot be read now (EIO, too many open files) is never taken for an
            // empty one: the recording is offered with every part kept, for a retry.
            unreadable = true;
            audio.partFiles = found.partFiles;
            audio.loss = RecordedAudio::Loss::mixFailed;
        } else if (inspection.withAudio.isEmpty()) {
            // Nothing was ever recorded (the capture never delivered a sample).
            m_archive.remove(found.id);
            continue;
        } else {
            // A mix that a crash cut short is made again from the parts, off this thread.
            QCoro::Task<RecordedAudio> mixing = m_recorder.mixParts(inspection.withAudio);
            audio = co_await std::move(mixing);
            if (!asker)
                co_return std::nullopt;
            for (const QString &part : inspection.empty)
                QFile::remove(part);
        }
        if (audio.filePath.isEmpty() && audio.partFiles.isEmpty()) {
            m_archive.remove(found.id);
            continue;
        }

        RecordingManifest manifest;
        if (found.manifest) {
            manifest = *found.manifest;
        } else {
            // Its manifest is lost: the audio is offered all the same, for a new meeting of the
            // account it is offered to.
            manifest.id = found.id;
            manifest.startTime = found.startTime;
            manifest.apiBaseUrl = owner.apiBaseUrl;
            manifest.userId = owner.userId;
        }
        auto recording = std::make_unique<RecordingOnDisk>(m_archive, manifest, found.lock);
        audio = recording->withKeptLoss(std::move(audio));
        const bool complete = audio.loss == RecordedAudio::Loss::none;
        const QString lossNote = unreadable ? unreadablePartText()
                                 : complete ? QString()
                                            : lossText(audio);
        std::optional<std::chrono::seconds> length;
        if (!audio.filePath.isEmpty()) {
            QFuture<std::optional<std::chrono::milliseconds>> measuring =
                QtConcurrent::run([file = audio.filePath] { return AudioDecoder::lengthOf(file); });
            const std::optional<std::chrono::milliseconds> ms = co_await measuring;
            if (!asker)
                co_return std::nullopt;
            if (ms)
                length = std::chrono::duration_cast<std::chrono::seconds>(*ms);
        }
        QString text = unsentRecordingText(manifest.startTime, length);
        if (!lossNote.isEmpty())
            text += QStringLiteral(". ") + lossNote;
        co_return Offer{std::move(recording), std::move(audio), std::move(text)};
    }
    co_return std::nullopt;
}
