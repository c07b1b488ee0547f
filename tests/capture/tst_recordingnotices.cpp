// What the recorder tells the user while recording when a track cannot be heard, on a real
// sound server: a silent track after its window, sound that clears it, and default devices that
// record nothing useful, said at the start.

#include "RecorderRig.h"
#include "UserTexts.h"

#include <QSignalSpy>
#include <QTest>

#include <chrono>

using namespace std::chrono_literals;

namespace {

const QString micSilent = QStringLiteral("Микрофон не слышно — проверьте, что он включён");
const QString systemSilent =
    QStringLiteral("Не слышно звука компьютера — проверьте устройство вывода");

} // namespace

class RecordingNoticesTest : public QObject {
    Q_OBJECT

private slots:
    void init() { emptyPrivateFolder(); }

    // The microphone's sink plays nothing while the output plays a tone: only the microphone
    // is named, after its window and not before; a tone on the microphone takes the line away.
    void silentMicrophoneIsToldAndClearsWhenHeard() {
        const std::unique_ptr<SoundServer> server = startSoundServer();
        VERIFY_RUNNING(*server);
        server->play(QString::fromLatin1(SoundServer::speakers), SoundServer::tone(440, 30, 0.3f),
                     SoundServer::Buffer::long_);
        AudioRecorder recorder(nullptr, 3s);
        QSignalSpy changes(&recorder, &AudioRecorder::noticesChanged);
        QCoro::waitFor(
            recorder.startRecording({AudioFiles::privateFolder(), RecordingFiles::newId()}));
        QVERIFY(recorder.notices().isEmpty());

        QElapsedTimer sinceStart;
        sinceStart.start();
        QTRY_VERIFY_WITH_TIMEOUT(recordingNoticeLines(recorder.notices()).contains(micSilent),
                                 5000);
        QVERIFY2(sinceStart.elapsed() >= 2500, "the line came before the window had passed");
        QVERIFY(!recordingNoticeLines(recorder.notices()).contains(systemSilent));

        server->play(QString::fromLatin1(SoundServer::micSink), SoundServer::tone(1000, 10, 0.3f));
        QTRY_VERIFY_WITH_TIMEOUT(recorder.notices().isEmpty(), 2000);
        QVERIFY(changes.count() >= 2);

        QCoro::waitFor(recorder.stopRecording());
        QVERIFY(recorder.notices().isEmpty());
    }

    void deviceIsToldAtTheStart_data() {
        QTest::addColumn<bool>("microphone");
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("mend");

        QTest::newRow("muted microphone")
            << true << QStringList{"set-source-mute mic 1"} << "выключен в системе — включите его"
            << QStringList{"set-source-mute mic 0"};
        QTest::newRow("an output's monitor as the microphone")
            << false << QStringList{} << "Вместо микрофона выбран «Monitor of" << QStringList{};
        QTest::newRow("the server's dummy output")
            << true
            << QStringList{"load-module module-null-sink sink_name=auto_null "
                           "sink_properties=device.description=Dummy",
                           "set-default-sink auto_null"}
            << "Звук идёт в «Dummy» — выберите устройство вывода"
            << QStringList{"set-default-sink speakers"};
    }

    void deviceIsToldAtTheStart() {
        QFETCH(bool, microphone);
        QFETCH(QStringList, setup);
        QFETCH(QString, expected);
        QFETCH(QStringList, mend);
        const std::unique_ptr<SoundServer> server =
            startSoundServer({.outputs = true, .microphone = microphone});
        VERIFY_RUNNING(*server);
        for (const QString &command : setup)
            QVERIFY(server->pactl(command.split(QLatin1Char(' '))));

        // A long window: only the devices speak here.
        AudioRecorder recorder(nullptr, 60s);
        QCoro::waitFor(
            recorder.startRecording({AudioFiles::privateFolder(), RecordingFiles::newId()}));
        const QString told = recordingNoticeLines(recorder.notices()).join(QLatin1Char('\n'));
        QVERIFY2(told.contains(expected), qPrintable(told));
        QCOMPARE(recorder.notices().size(), 1);

        if (!mend.isEmpty()) {
            for (const QString &command : mend)
                QVERIFY(server->pactl(command.split(QLatin1Char(' '))));
            QTRY_VERIFY_WITH_TIMEOUT(recorder.notices().isEmpty(), 2000);
        }
        QCoro::waitFor(recorder.stopRecording());
    }
};

QTEST_GUILESS_MAIN(RecordingNoticesTest)
#include "tst_recordingnotices.moc"
