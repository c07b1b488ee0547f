#include "UnsentRecordingText.h"

#include <array>

namespace {

// Month names in the genitive, as a date is said: "6 декабря".
constexpr std::array<const char *, 12> months{
    "января", "февраля", "марта",    "апреля",  "мая",    "июня",
    "июля",   "августа", "сентября", "октября", "ноября", "декабря",
};

QString lengthText(std::chrono::seconds length) {
    if (length < std::chrono::minutes(1))
        return QStringLiteral("%1 с").arg(std::max<qint64>(length.count(), 0));
    // Rounded to the nearest minute: 1 min 40 s reads as 2 min.
    return QStringLiteral("%1 мин").arg((length.count() + 30) / 60);
}

} // namespace

QString unsentRecordingText(const QDateTime &start, std::optional<std::chrono::seconds> length) {
    const QDateTime local = start.toLocalTime();
    QString text = QStringLiteral("Запись от %1 %2, %3")
                       .arg(local.date().day())
                       .arg(QString::fromUtf8(months.at(local.date().month() - 1)))
                       .arg(local.time().toString(QStringLiteral("HH:mm")));
    if (length)
        text += QStringLiteral(" (%1)").arg(lengthText(*length));
    return text + QStringLiteral(" не отправлена");
}
