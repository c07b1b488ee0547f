#include "UnsentRecordingList.h"

#include "AudioDecoder.h"
#include "RecordingArchive.h"
#include "UserTexts.h"

#include <algorithm>

QString unsentRecordingList(const QString &folder) {
    const QList<RecordingArchive::Unfinished> recordings =
        RecordingArchive(folder).unfinished(RecordingArchive::Look::only);
    if (recordings.isEmpty())
        return QStringLiteral("Неотправленных записей нет (папка %1)\n").arg(folder);
    QString text = QStringLiteral("Неотправленные записи в папке %1:\n").arg(folder);
    for (const RecordingArchive::Unfinished &recording : recordings) {
        // The mix when there is one, else the longest part.
        std::optional<std::chrono::milliseconds> length;
        for (const QString &file : recording.mixedFile.isEmpty()
                                       ? recording.partFiles
                                       : QStringList{recording.mixedFile}) {
            if (const auto fileLength = AudioDecoder::lengthOf(file))
                length = std::max(length.value_or(*fileLength), *fileLength);
        }
        QString address = QStringLiteral("адрес сервиса не записан");
        if (recording.manifest && !recording.manifest->apiBaseUrl.isEmpty())
            address = QStringLiteral("для %1").arg(recording.manifest->apiBaseUrl);
        text += QStringLiteral("  %1 — %2, %3\n")
                    .arg(unsentRecordingText(
                             recording.startTime,
                             length ? std::optional(
                                          std::chrono::duration_cast<std::chrono::seconds>(*length))
                                    : std::nullopt),
                         address, recording.id);
    }
    return text;
}
