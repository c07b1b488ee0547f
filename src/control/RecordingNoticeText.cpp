#include "RecordingNoticeText.h"

namespace RecordingNoticeText {

namespace {

// Device descriptions can be long ("Family 17h/19h HD Audio Controller Analog Stereo"); a line
// must still fit two lines of the popover.
QString quoted(const QString &description) {
    constexpr qsizetype longest = 20;
    QString text = description.simplified();
    if (text.size() > longest)
        text = text.left(longest - 1).trimmed() + QChar(0x2026);
    return QStringLiteral("«%1»").arg(text);
}

QString line(const RecordingNotice &notice) {
    switch (notice.code) {
    case RecordingNotice::Code::outputIsDummy:
        return QStringLiteral("Звук идёт в %1 — выберите устройство вывода")
            .arg(quoted(notice.device));
    case RecordingNotice::Code::systemSilent:
        return QStringLiteral("Не слышно звука компьютера — проверьте устройство вывода");
    case RecordingNotice::Code::inputIsMonitor:
        return QStringLiteral("Вместо микрофона выбран %1 — выберите микрофон")
            .arg(quoted(notice.device));
    case RecordingNotice::Code::microphoneMuted:
        return QStringLiteral("Микрофон %1 выключен в системе — включите его")
            .arg(quoted(notice.device));
    case RecordingNotice::Code::microphoneSilent:
        return QStringLiteral("Микрофон не слышно — проверьте, что он включён");
    }
    return {};
}

} // namespace

QStringList lines(const QList<RecordingNotice> &notices) {
    QStringList lines;
    for (const RecordingNotice &notice : notices)
        lines << line(notice);
    return lines;
}

} // namespace RecordingNoticeText
