#include "UserTexts.h"

#include <QStringList>

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
