#include "RecordingFiles.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

namespace {

// The one shape of a recording id. Anchored with \A and \z: "$" alone would also let a name
// end in a line break.
const QString idPattern =
    QStringLiteral("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");

} // namespace

RecordingFiles::RecordingFiles(QString folder, QString id)
    : m_folder(std::move(folder))
    , m_id(std::move(id)) {}

QString RecordingFiles::newId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

bool RecordingFiles::isId(const QString &text) {
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(idPattern));
    return pattern.match(text).hasMatch();
}

std::optional<RecordingFiles::Name> RecordingFiles::parse(const QString &fileName) {
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("(?<prefix>sys_|mic_|live_)?(?<id>%1)"
                       "(?<suffix>\\.m4a|\\.json|\\.lock|\\.json\\.[^/]+)")
            .arg(idPattern)));
    const QRegularExpressionMatch match = pattern.match(fileName);
    if (!match.hasMatch())
        return std::nullopt;
    const QString prefix = match.captured(QStringLiteral("prefix"));
    const QString suffix = match.captured(QStringLiteral("suffix"));
    const QString id = match.captured(QStringLiteral("id"));
    if (suffix == QLatin1String(".m4a")) {
        if (prefix == QLatin1String("sys_"))
            return Name{Kind::systemPart, id};
        if (prefix == QLatin1String("mic_"))
            return Name{Kind::microphonePart, id};
        if (prefix == QLatin1String("live_"))
            return Name{Kind::liveMix, id};
        return Name{Kind::mix, id};
    }
    // Only audio files carry a prefix.
    if (!prefix.isEmpty())
        return std::nullopt;
    if (suffix == QLatin1String(".json"))
        return Name{Kind::manifest, id};
    if (suffix == QLatin1String(".lock"))
        return Name{Kind::lock, id};
    return Name{Kind::manifestDraft, id};
}

QString RecordingFiles::fileName(Kind kind, const QString &id) {
    switch (kind) {
    case Kind::systemPart:
        return QStringLiteral("sys_%1.m4a").arg(id);
    case Kind::microphonePart:
        return QStringLiteral("mic_%1.m4a").arg(id);
    case Kind::liveMix:
        return QStringLiteral("live_%1.m4a").arg(id);
    case Kind::mix:
        return QStringLiteral("%1.m4a").arg(id);
    case Kind::manifest:
    case Kind::manifestDraft:
        return QStringLiteral("%1.json").arg(id);
    case Kind::lock:
        return QStringLiteral("%1.lock").arg(id);
    }
    return {};
}

QString RecordingFiles::mixFor(const QString &partPath) {
    const QFileInfo part(partPath);
    const std::optional<Name> name = parse(part.fileName());
    const bool isPart =
        name && (name->kind == Kind::systemPart || name->kind == Kind::microphonePart);
    return RecordingFiles(part.absolutePath(), isPart ? name->id : newId()).mix();
}

QString RecordingFiles::path(Kind kind) const {
    return m_folder + QLatin1Char('/') + fileName(kind, m_id);
}
