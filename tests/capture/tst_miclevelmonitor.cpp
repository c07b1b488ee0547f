// The microphone level bar of the recording screen against a real sound server.

#include "MicLevelMonitor.h"
#include "RecorderRig.h"

#include <QTest>

#include <numbers>

class MicLevelMonitorTest : public QObject {
    Q_OBJECT

private slots:
    // A tone of RMS 0.05 shows as half the bar. The monitor follows the default microphone,
    // shows zero while the default input is no microphone, meters on when the screen starts it
    // again, and drops to zero and stays there once stopped or once the server is gone.
    void showsTheDefaultMicrophonesLevel() {
        const std::unique_ptr<SoundServer> server = startSoundServer();
        VERIFY_RUNNING(*server);
        QVERIFY(server->pactl({"load-module", "module-null-sink", "sink_name=headsetsink"}));
        QVERIFY(server->pactl({"load-module", "module-remap-source", "source_name=headset",
                               "master=headsetsink.monitor"}));
        server->keepBusy(QStringLiteral("headsetsink"));
        SoundServer::settle();
        // A sine whose RMS is a tenth of the level the bar should show.
        const auto atLevel = [](float level) {
            return SoundServer::tone(689.0625, 15.0, level / 10.0f * std::numbers::sqrt2_v<float>);
        };
        server->play(SoundServer::micSink, atLevel(0.5f));
        server->play(QStringLiteral("headsetsink"), atLevel(0.2f));
        MicLevelMonitor monitor;
        const auto near = [&](float expected) {
            return std::abs(monitor.level() - expected) < 0.03f;
        };

        monitor.start();
        QTRY_VERIFY_WITH_TIMEOUT(near(0.5f), 5000);
        monitor.start();
        QVERIFY(server->pactl({"set-default-source", "headset"}));
        QTRY_VERIFY_WITH_TIMEOUT(near(0.2f), 5000);
        QVERIFY(server->pactl({"set-default-source", "speakers.monitor"}));
        QTRY_COMPARE_WITH_TIMEOUT(monitor.level(), 0.0f, 5000);
        QVERIFY(server->pactl({"set-default-source", "mic"}));
        QTRY_VERIFY_WITH_TIMEOUT(near(0.5f), 5000);
        monitor.stop();
        QCOMPARE(monitor.level(), 0.0f);
        QTest::qWait(300);
        QCOMPARE(monitor.level(), 0.0f);

        monitor.start();
        QTRY_VERIFY_WITH_TIMEOUT(near(0.5f), 5000);
        server->kill();
        QTRY_COMPARE_WITH_TIMEOUT(monitor.level(), 0.0f, 5000);
        QTest::qWait(1000);
        QCOMPARE(monitor.level(), 0.0f);
    }
};

QTEST_GUILESS_MAIN(MicLevelMonitorTest)
#include "tst_miclevelmonitor.moc"
