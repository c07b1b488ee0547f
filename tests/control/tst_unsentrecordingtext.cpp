// The error screen's name for a recording left unsent.

#include "UnsentRecordingText.h"

#include <QTest>

using namespace std::chrono_literals;

class TestUnsentRecordingText : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // The text is in local time; fix the zone so the expectations hold anywhere.
        qputenv("TZ", "Europe/Moscow");
        tzset();
    }

    void namesTheRecording_data() {
        QTest::addColumn<QDateTime>("start");
        QTest::addColumn<qint64>("seconds"); // negative: length unknown
        QTest::addColumn<QString>("text");
        const QDateTime dec6 = QDateTime(QDate(2026, 12, 6), QTime(11, 5), Qt::UTC); // 14:05 MSK
        QTest::newRow("minutes") << dec6 << qint64(42 * 60 + 10)
                                 << "Запись от 6 декабря, 14:05 (42 мин) не отправлена";
        QTest::newRow("rounded up")
            << dec6 << qint64(100) << "Запись от 6 декабря, 14:05 (2 мин) не отправлена";
        QTest::newRow("seconds") << dec6 << qint64(5)
                                 << "Запись от 6 декабря, 14:05 (5 с) не отправлена";
        QTest::newRow("length unknown")
            << dec6 << qint64(-1) << "Запись от 6 декабря, 14:05 не отправлена";
        // Local midnight crosses into the next day and month.
        QTest::newRow("local date")
            << QDateTime(QDate(2026, 4, 30), QTime(21, 30), Qt::UTC) << qint64(3600)
            << "Запись от 1 мая, 00:30 (60 мин) не отправлена";
    }
    void namesTheRecording() {
        QFETCH(QDateTime, start);
        QFETCH(qint64, seconds);
        QFETCH(QString, text);
        const auto length =
            seconds < 0 ? std::nullopt : std::optional(std::chrono::seconds(seconds));
        QCOMPARE(unsentRecordingText(start, length), text);
    }
};

QTEST_GUILESS_MAIN(TestUnsentRecordingText)
#include "tst_unsentrecordingtext.moc"
