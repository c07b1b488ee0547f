#include "UserTexts.h"

#include "ReminderPace.h"

#include <array>

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

QString recordingNotFoundText() {
    return QStringLiteral("Файл записи не найден");
}

QString unreadablePartText() {
    return QStringLiteral(
        "Часть записи сейчас не читается; она сохранена. Нажмите «Повторить загрузку», "
        "чтобы попробовать снова");
}

QString lossText(const RecordedAudio &audio) {
    if (audio.loss == RecordedAudio::Loss::mixFailed) {
        return QStringLiteral("Не удалось свести дорожки записи. Освободите место на диске и "
                              "нажмите «Повторить загрузку»");
    }
    const QString sendAnyway =
        QStringLiteral("Нажмите «Повторить загрузку», чтобы отправить то, что записано");
    QStringList lostToFullDisk;
    // Whole seconds, rounded up: a lost half second is not "0 с".
    const auto seconds = [](std::chrono::milliseconds lost) { return (lost.count() + 999) / 1000; };
    if (audio.systemLostToFullDisk.count() > 0)
        lostToFullDisk
            << QStringLiteral("%1 с звука компьютера").arg(seconds(audio.systemLostToFullDisk));
    if (audio.microphoneLostToFullDisk.count() > 0)
        lostToFullDisk
            << QStringLiteral("%1 с микрофона").arg(seconds(audio.microphoneLostToFullDisk));
    if (!lostToFullDisk.isEmpty()) {
        return QStringLiteral("Диск был заполнен: потеряно ") +
               lostToFullDisk.join(QStringLiteral(" и ")) + QStringLiteral(". ") + sendAnyway;
    }
    QString what = QStringLiteral("Запись прервалась");
    if (audio.affectedTrack == CaptureTrack::system)
        what = QStringLiteral("Запись системного звука прервалась");
    else if (audio.affectedTrack == CaptureTrack::microphone)
        what = QStringLiteral("Запись микрофона прервалась");
    return what + QStringLiteral(", часть звука не сохранилась. ") + sendAnyway;
}

QString signInExpiredText() {
    return QStringLiteral("Вход истёк. Войдите снова — запись сохранена и отправится после входа.");
}

QString unexpectedErrorText() {
    return QStringLiteral("Непредвиденная ошибка. Попробуйте ещё раз");
}

QStringList recordingNoticeLines(const QList<RecordingNotice> &notices) {
    QStringList lines;
    for (const RecordingNotice &notice : notices)
        lines << line(notice);
    return lines;
}

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

QString stopQuestionText() {
    return QStringLiteral("Звонок, похоже, закончился. Остановить запись?");
}

QString stopAnswerText() {
    return QStringLiteral("Остановить запись");
}

QString keepRecordingAnswerText() {
    return QStringLiteral("Продолжить");
}

QString stoppedInSilenceText() {
    const auto minutes =
        std::chrono::duration_cast<std::chrono::minutes>(ReminderPace{}.silenceStop);
    return QStringLiteral("Запись остановлена: %1 минут тишины. Отправляем её.")
        .arg(minutes.count());
}

QString unsentCountText(int count) {
    return count > 0 ? QStringLiteral("Не отправлено: %1").arg(count) : QString();
}
