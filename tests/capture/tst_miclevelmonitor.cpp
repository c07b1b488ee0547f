// The microphone level: the formula, and the monitor against a real sound server.

#include "MicLevelMonitor.h"
#include "RecordingChecks.h"

#include <QSignalSpy>

#include <cmath>
#include <memory>
#include <numbers>
#include <vector>

Q_DECLARE_METATYPE(std::vector<float>)

namespace {

// 1024 interleaved stereo frames, silent but for one channel that carries a square wave or a
// sine of 16 whole periods.
std::vector<float> wave(int channel, float amplitude, bool sine = false) {
    std::vector<float> samples(2 * MicLevelMonitor::bufferFrames, 0.0f);
    for (int i = 0; i < MicLevelMonitor::bufferFrames; ++i)
        samples[2 * i + channel] =
            sine ? amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * i / 64.0))
                 : (i % 2 == 0 ? amplitude : -amplitude);
    return samples;
}

bool levelThreadRuns() {
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "tolvex.level")
            return true;
    }
    return false;
}

// A sine whose RMS is a tenth of `level`, so the monitor shows `level`.
std::vector<float> toneAtLevel(double hz, double seconds, float level) {
    return PulseServer::tone(hz, seconds, level / 10.0f * std::numbers::sqrt2_v<float>);
}

} // namespace

class MicLevelMonitorTest : public QObject {
    Q_OBJECT

private slots:
    void formula_data() {
        QTest::addColumn<std::vector<float>>("samples");
        QTest::addColumn<float>("level");

        QTest::newRow("silence") << wave(0, 0.0f) << 0.0f;
        QTest::newRow("full-scale square wave") << wave(0, 1.0f) << 1.0f;
        QTest::newRow("RMS 0.05 square") << wave(0, 0.05f) << 0.5f;
        // The same RMS with a higher peak: the level follows the RMS.
        QTest::newRow("RMS 0.05 sine")
            << wave(0, 0.05f * std::numbers::sqrt2_v<float>, true) << 0.5f;
        QTest::newRow("RMS 0.3 is clamped to full scale") << wave(0, 0.3f) << 1.0f;
        QTest::newRow("signal on channel 1 only") << wave(1, 1.0f) << 0.0f;
        QTest::newRow("no frames") << std::vector<float>{} << 0.0f;
    }

    void formula() {
        QFETCH(std::vector<float>, samples);
        QFETCH(float, level);
        const float measured = MicLevelMonitor::levelOf(samples, 2);
        QVERIFY2(std::abs(measured - level) < 1e-4f,
                 qPrintable(QStringLiteral("level %1, expected %2").arg(measured).arg(level)));
    }

    void startWithoutServerRaisesNothingAndStaysAtZero() {
        QTemporaryDir nowhere;
        PulseServer::pointAtNothing(nowhere.path());
        MicLevelMonitor monitor;
        QSignalSpy changes(&monitor, &MicLevelMonitor::levelChanged);
        monitor.stop(); // without a start it only resets the level
        QCOMPARE(changes.count(), 1);
        monitor.start();
        QTest::qWait(300);
        QCOMPARE(changes.count(), 1);
        QCOMPARE(monitor.level(), 0.0f);
        monitor.stop();
        QCOMPARE(monitor.level(), 0.0f);
    }

    // The screen goes away while levels are on their way: the monitor's thread is gone with it,
    // and nothing posted before reaches the freed monitor (AddressSanitizer watches that in the
    // asan preset).
    void destroyedMonitorIsNeverWrittenTo() {
        START_SERVER(server);
        server.play(PulseServer::micSink, PulseServer::tone(440, 5.0, 0.5f));
        for (int round = 0; round < 5; ++round) {
            auto monitor = std::make_unique<MicLevelMonitor>();
            monitor->start();
            QTRY_VERIFY_WITH_TIMEOUT(monitor->level() > 0.0f, 3000);
            QVERIFY(levelThreadRuns());
            // Let the loop's thread post more levels, then drop the monitor with them queued.
            QThread::msleep(100);
            monitor.reset();
            QVERIFY(!levelThreadRuns());
            QCoreApplication::processEvents();
        }
    }

    // A second start meters on: levels of the first engine are no longer shown, so only a
    // working second one keeps them coming.
    void restartKeepsMetering() {
        START_SERVER(server);
        server.play(PulseServer::micSink, PulseServer::tone(440, 5.0, 0.5f));
        MicLevelMonitor monitor;
        monitor.start();
        QTRY_VERIFY_WITH_TIMEOUT(monitor.level() > 0.9f, 3000);
        QSignalSpy changes(&monitor, &MicLevelMonitor::levelChanged);
        monitor.start();
        QTRY_VERIFY_WITH_TIMEOUT(changes.count() >= 20, 5000);
        QVERIFY(monitor.level() > 0.9f);
        // Stopped, the bar is empty and stays so.
        monitor.stop();
        QCOMPARE(monitor.level(), 0.0f);
        QTest::qWait(300);
        QCOMPARE(monitor.level(), 0.0f);
    }

    // The default microphone changes under the monitor: it follows, shows zero while the
    // default input is no microphone, and zero again once the server is gone. A tone of RMS
    // 0.05 shows as about half the bar, one update per 1024 frames.
    void followsTheDefaultMicrophone() {
        START_SERVER(server);
        QVERIFY(server.pactl({"load-module", "module-null-sink", "sink_name=headsetsink"}));
        QVERIFY(server.pactl({"load-module", "module-remap-source", "source_name=headset",
                              "master=headsetsink.monitor"}));
        server.keepBusy(QStringLiteral("headsetsink"));
        PulseServer::settle();
        server.play(PulseServer::micSink, toneAtLevel(689.0625, 12.0, 0.5f));
        server.play(QStringLiteral("headsetsink"), toneAtLevel(689.0625, 12.0, 0.2f));
        const auto near = [](float level, float expected) {
            return std::abs(level - expected) < 0.03f;
        };

        MicLevelMonitor monitor;
        QSignalSpy changes(&monitor, &MicLevelMonitor::levelChanged);
        monitor.start();
        QTRY_VERIFY_WITH_TIMEOUT(near(monitor.level(), 0.5f), 5000);
        const qsizetype before = changes.count();
        QTest::qWait(1000);
        const qsizetype perSecond = changes.count() - before; // about 43
        QVERIFY2(perSecond >= 30 && perSecond <= 50, qPrintable(QString::number(perSecond)));
        QVERIFY(server.pactl({"set-default-source", "headset"}));
        QTRY_VERIFY_WITH_TIMEOUT(near(monitor.level(), 0.2f), 5000);
        QVERIFY(server.pactl({"set-default-source", "speakers.monitor"}));
        QTRY_COMPARE_WITH_TIMEOUT(monitor.level(), 0.0f, 5000);
        QVERIFY(server.pactl({"set-default-source", "mic"}));
        QTRY_VERIFY_WITH_TIMEOUT(near(monitor.level(), 0.5f), 5000);
        server.kill();
        QTRY_COMPARE_WITH_TIMEOUT(monitor.level(), 0.0f, 5000);
        QTest::qWait(1000);
        QCOMPARE(monitor.level(), 0.0f);
        monitor.stop();
    }
};

QTEST_GUILESS_MAIN(MicLevelMonitorTest)
#include "tst_miclevelmonitor.moc"
