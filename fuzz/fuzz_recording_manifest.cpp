// Any file content either reads as nothing or as a manifest whose names stay inside the
// recordings folder; a manifest that reads is written back and read again unchanged, so that
// a recording found once is found again after the program rewrites its manifest.

#include "FuzzCheck.h"
#include "RecordingManifest.h"

#include <QByteArray>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

// Checked here without the reader's patterns: hexadecimal digits, hyphens, an optional
// "sys_" or "mic_" and ".m4a", nothing else, so no separator, no line break, no "..".
bool onlyIdCharacters(QStringView text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || c == u'-';
    });
}

bool plainAudioName(QStringView name) {
    if (name.startsWith(u"sys_") || name.startsWith(u"mic_"))
        name = name.mid(4);
    return name.size() == 40 && name.endsWith(u".m4a") && onlyIdCharacters(name.left(36));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // A zone with daylight saving time and a changing offset history, so that start times
    // written without an offset meet gaps and overlaps.
    setenv("TZ", "Europe/Berlin", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray json =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const std::optional<RecordingManifest> manifest = RecordingManifest::fromJson(json);
    if (!manifest)
        return 0;

    FUZZ_CHECK(manifest->id.size() == 36 && onlyIdCharacters(manifest->id),
               "accepted a malformed id");
    FUZZ_CHECK(manifest->partFiles.size() <= 2, "more than two part files");
    for (const QString &part : manifest->partFiles)
        FUZZ_CHECK(plainAudioName(part), "a part file reaches outside the folder");
    FUZZ_CHECK(manifest->mixedFile.isEmpty() || plainAudioName(manifest->mixedFile),
               "the mixed file reaches outside the folder");
    FUZZ_CHECK(manifest->startTime.isValid() && manifest->startTime.timeSpec() == Qt::UTC,
               "the start time is not a valid UTC time");

    const QByteArray written = manifest->toJson();
    const std::optional<RecordingManifest> reread = RecordingManifest::fromJson(written);
    FUZZ_CHECK(reread.has_value(), "a manifest that was read cannot be read once written back");
    FUZZ_CHECK(*reread == *manifest, "the manifest changes when written back");
    FUZZ_CHECK(reread->startTime.toMSecsSinceEpoch() == manifest->startTime.toMSecsSinceEpoch(),
               "the start time moves when written back");
    FUZZ_CHECK(reread->toJson() == written, "writing the manifest again gives other bytes");
    return 0;
}
