#pragma once
// The recordings a quit or a crash left unsent: which of them the signed-in account may send,
// and how each is made ready to offer again. Their audio is decoded off the GUI thread.

#include "RecordedAudio.h"
#include "Recorder.h"
#include "RecordingArchive.h"
#include "RecordingManifest.h"
#include "RecordingOnDisk.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

class UnsentRecordings {
public:
    // Who asks: only their own recordings on their own service are offered to them.
    struct Owner {
        QString apiBaseUrl;
        std::optional<std::int64_t> userId;
    };
    // A recording made ready to offer: held on disk, what the recorder would have handed
    // back for it, and the text that offers it.
    struct Offer {
        std::unique_ptr<RecordingOnDisk> recording;
        RecordedAudio audio;
        QString text;
    };

    UnsentRecordings(RecordingArchive archive, Recorder &recorder);

    // The oldest recording that `owner` may send, but for those `passed`, made ready; on the
    // way, recordings with nothing left to send are removed. Nothing when none is left, or
    // when `asker` is gone meanwhile.
    QCoro::Task<std::optional<Offer>> takeOldest(Owner owner, QPointer<QObject> asker,
                                                 QSet<QString> passed = {});

    [[nodiscard]] static bool isOwnRecording(const RecordingManifest &manifest, const Owner &owner);

private:
    // What a found recording's audio holds.
    struct Inspection {
        bool mixIsWhole = false;
        QStringList withAudio;
        QStringList empty;
    };
    [[nodiscard]] static Inspection inspect(const RecordingArchive::Unfinished &found);
    // Whether a mix left on disk is as long as it should be, and so may be sent as it is.
    [[nodiscard]] static bool mixIsWhole(const RecordingArchive::Unfinished &found);
    // Whether a part that gives no audio holds none, rather than could not be read.
    [[nodiscard]] static bool isEmptyPart(const QString &path);

    RecordingArchive m_archive;
    Recorder &m_recorder;
};
