#include "HearingReport.h"

namespace {

// Device descriptions can be long ("Family 17h/19h HD Audio Controller Analog Stereo"); a line
// must still fit two lines of the popover.
QString quoted(const std::string &description) {
    constexpr qsizetype longest = 20;
    QString text = QString::fromStdString(description).simplified();
    if (text.size() > longest)
        text = text.left(longest - 1).trimmed() + QChar(0x2026);
    return QStringLiteral("«%1»").arg(text);
}

} // namespace

QStringList HearingReport::lines() const {
    QStringList lines;
    if (devices.sinkIsDummy)
        lines << QStringLiteral("Звук идёт в %1 — выберите устройство вывода")
                     .arg(quoted(devices.sinkDescription));
    else if (systemSilent)
        lines << QStringLiteral("Не слышно звука компьютера — проверьте устройство вывода");

    if (devices.sourceIsMonitor)
        lines << QStringLiteral("Вместо микрофона выбран %1 — выберите микрофон")
                     .arg(quoted(devices.sourceDescription));
    else if (devices.sourceMuted)
        lines << QStringLiteral("Микрофон %1 выключен в системе — включите его")
                     .arg(quoted(devices.sourceDescription));
    else if (microphoneSilent)
        lines << QStringLiteral("Микрофон не слышно — проверьте, что он включён");
    return lines;
}
