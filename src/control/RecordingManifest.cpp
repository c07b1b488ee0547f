#include "RecordingManifest.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <array>
#include <utility>

namespace {

constexpr int formatVersion = 1;

constexpr std::array<std::pair<CaptureTrack, const char *>, 2> trackNames{{
    {CaptureTrack::system, "system"},
    {CaptureTrack::microphone, "microphone"},
}};

constexpr std::array<std::pair<RecordingManifest::Stage, const char *>, 5> stageNames{{
    {RecordingManifest::Stage::meetingCreated, "meetingCreated"},
    {RecordingManifest::Stage::capturing, "capturing"},
    {RecordingManifest::Stage::stopped, "stopped"},
    {RecordingManifest::Stage::mixed, "mixed"},
    {RecordingManifest::Stage::delivered, "delivered"},
}};

// Audio files of a recording: "sys_<id>.m4a", "mic_<id>.m4a" or "<id>.m4a", nothing with a
// path in it, so a planted manifest can never point the program at a file elsewhere.
bool isAudioFileName(const QString &name) {
    using Kind = RecordingFiles::Kind;
    const std::optional<RecordingFiles::Name> parsed = RecordingFiles::parse(name);
    return parsed && (parsed->kind == Kind::systemPart || parsed->kind == Kind::microphonePart ||
                      parsed->kind == Kind::mix);
}

// An absent field gives an empty value; a present one must be a whole number in the range of
// the service's ids (any 64-bit integer, which JSON text carries exactly), or nothing is read.
std::optional<std::optional<std::int64_t>> optionalInteger(const QJsonValue &value) {
    if (value.isUndefined())
        return std::optional<std::int64_t>();
    // Whole numbers that fit are kept as integers, not doubles; a fraction or a number out of
    // range gives each default back.
    const qint64 number = value.toInteger(0);
    if (!value.isDouble() || number != value.toInteger(1))
        return std::nullopt;
    return std::optional<std::int64_t>(number);
}

} // namespace

QByteArray RecordingManifest::toJson() const {
    QJsonObject object;
    object[QStringLiteral("version")] = formatVersion;
    object[QStringLiteral("id")] = id;
    if (meetingId)
        object[QStringLiteral("meetingId")] = static_cast<qint64>(*meetingId);
    if (userId)
        object[QStringLiteral("userId")] = static_cast<qint64>(*userId);
    if (!apiBaseUrl.isEmpty())
        object[QStringLiteral("apiBaseUrl")] = apiBaseUrl;
    object[QStringLiteral("startTime")] = startTime.toUTC().toString(Qt::ISODateWithMs);
    object[QStringLiteral("partFiles")] = QJsonArray::fromStringList(partFiles);
    object[QStringLiteral("mixedFile")] = mixedFile;
    if (mixLength)
        object[QStringLiteral("mixLengthMs")] = static_cast<qint64>(mixLength->count());
    for (const auto &[value, name] : stageNames) {
        if (value == stage)
            object[QStringLiteral("stage")] = QString::fromLatin1(name);
    }
    if (trackCut)
        object[QStringLiteral("trackCut")] = true;
    if (systemLostToFullDisk.count() > 0)
        object[QStringLiteral("systemLostMs")] = static_cast<qint64>(systemLostToFullDisk.count());
    if (microphoneLostToFullDisk.count() > 0)
        object[QStringLiteral("microphoneLostMs")] =
            static_cast<qint64>(microphoneLostToFullDisk.count());
    for (const auto &[value, name] : trackNames) {
        if (cutTrack == value)
            object[QStringLiteral("cutTrack")] = QString::fromLatin1(name);
    }
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

std::optional<RecordingManifest> RecordingManifest::fromJson(const QByteArray &json) {
    if (json.size() > maxBytes)
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();

    RecordingManifest manifest;
    if (object.value(QStringLiteral("version")).toInt(-1) != formatVersion)
        return std::nullopt;

    const QJsonValue id = object.value(QStringLiteral("id"));
    if (!id.isString() || !RecordingFiles::isId(id.toString()))
        return std::nullopt;
    manifest.id = id.toString();

    const std::optional<std::optional<std::int64_t>> meetingId =
        optionalInteger(object.value(QStringLiteral("meetingId")));
    const std::optional<std::optional<std::int64_t>> userId =
        optionalInteger(object.value(QStringLiteral("userId")));
    if (!meetingId || !userId)
        return std::nullopt;
    manifest.meetingId = *meetingId;
    manifest.userId = *userId;

    const QJsonValue address = object.value(QStringLiteral("apiBaseUrl"));
    if (!address.isUndefined() && !address.isString())
        return std::nullopt;
    manifest.apiBaseUrl = address.toString();

    const QJsonValue startTime = object.value(QStringLiteral("startTime"));
    manifest.startTime = QDateTime::fromString(startTime.toString(), Qt::ISODateWithMs);
    if (!startTime.isString() || !manifest.startTime.isValid())
        return std::nullopt;
    manifest.startTime = manifest.startTime.toUTC();
    // Only what toJson can write again: ISO text has the years 1 to 9999, and an offset or the
    // local zone can carry a time written as one of them outside that range in UTC.
    const int year = manifest.startTime.date().year();
    if (year < 1 || year > 9999)
        return std::nullopt;

    const QJsonValue parts = object.value(QStringLiteral("partFiles"));
    if (!parts.isArray() || parts.toArray().size() > 2)
        return std::nullopt;
    for (const QJsonValue &part : parts.toArray()) {
        if (!part.isString() || !isAudioFileName(part.toString()))
            return std::nullopt;
        manifest.partFiles << part.toString();
    }

    const QJsonValue mixed = object.value(QStringLiteral("mixedFile"));
    if (!mixed.isString() || (!mixed.toString().isEmpty() && !isAudioFileName(mixed.toString())))
        return std::nullopt;
    manifest.mixedFile = mixed.toString();
    const std::optional<std::optional<std::int64_t>> mixLength =
        optionalInteger(object.value(QStringLiteral("mixLengthMs")));
    if (!mixLength)
        return std::nullopt;
    if (*mixLength)
        manifest.mixLength = std::chrono::milliseconds(**mixLength);

    const QString stage = object.value(QStringLiteral("stage")).toString();
    bool known = false;
    for (const auto &[value, name] : stageNames) {
        if (stage == QLatin1String(name)) {
            manifest.stage = value;
            known = true;
        }
    }
    if (!known)
        return std::nullopt;

    const QJsonValue trackCut = object.value(QStringLiteral("trackCut"));
    if (!trackCut.isUndefined() && !trackCut.isBool())
        return std::nullopt;
    manifest.trackCut = trackCut.toBool();
    for (const auto &[key, lost] :
         {std::pair{"systemLostMs", &manifest.systemLostToFullDisk},
          std::pair{"microphoneLostMs", &manifest.microphoneLostToFullDisk}}) {
        const std::optional<std::optional<std::int64_t>> ms =
            optionalInteger(object.value(QLatin1String(key)));
        if (!ms || (*ms && **ms < 0))
            return std::nullopt;
        *lost = std::chrono::milliseconds(ms->value_or(0));
    }
    const QJsonValue cutTrack = object.value(QStringLiteral("cutTrack"));
    for (const auto &[value, name] : trackNames) {
        if (cutTrack.toString() == QLatin1String(name))
            manifest.cutTrack = value;
    }
    if (!cutTrack.isUndefined() && !manifest.cutTrack)
        return std::nullopt;
    return manifest;
}
