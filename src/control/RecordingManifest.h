#pragma once
// The small file beside a recording's audio that says what the audio is and how far the
// recording got, so that a recording survives a quit, a crash or a reboot. Every file of a
// recording carries the recording's id in its name; the manifest is "<id>.json".

#include "CaptureChunk.h"
#include "RecordingFiles.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <optional>

struct RecordingManifest {
    enum class Stage {
        meetingCreated, // the service has a meeting; capture not started yet
        capturing,      // part files are being written
        stopped,        // the part files are complete, and not mixed yet
        mixed,          // the file to upload is complete; waiting for (another) upload
        delivered,      // the service has it; its files are on their way out
    };

    QString id; // upper-case UUID without braces
    std::optional<std::int64_t> meetingId;
    // The service's id of the account that made the recording: only that account sends it.
    std::optional<std::int64_t> userId;
    // The service the recording's meeting lives on: only a program talking to that address
    // sends it. Empty in manifests written before addresses were kept.
    QString apiBaseUrl;
    QDateTime startTime;   // UTC
    QStringList partFiles; // plain file names in the recordings folder
    QString mixedFile;     // plain file name, empty until mixed
    // The mixed file's length when it was made: a mix that a crash cut short is shorter.
    std::optional<std::chrono::milliseconds> mixLength;
    Stage stage = Stage::meetingCreated;
    // A track stopped being written mid-recording: told again whenever the recording is
    // offered, after a relaunch too. Which track, when known.
    bool trackCut = false;
    std::optional<CaptureTrack> cutTrack;
    // Audio each track lost while the disk was full, as the stop told it.
    std::chrono::milliseconds systemLostToFullDisk{0};
    std::chrono::milliseconds microphoneLostToFullDisk{0};

    [[nodiscard]] QString fileName() const { return fileNameFor(id); }
    [[nodiscard]] static QString fileNameFor(const QString &id) {
        return RecordingFiles::fileName(RecordingFiles::Kind::manifest, id);
    }

    [[nodiscard]] QByteArray toJson() const;
    // Nothing for anything that is not a complete, well-formed manifest: oversized, not JSON,
    // missing or mistyped fields, or a file name that would reach outside the folder.
    [[nodiscard]] static std::optional<RecordingManifest> fromJson(const QByteArray &json);

    static constexpr qsizetype maxBytes = 64 * 1024;

    friend bool operator==(const RecordingManifest &, const RecordingManifest &) = default;
};
