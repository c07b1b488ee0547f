// A long recording of two steady tones on a real sound server: no buffer may go missing, the
// files must last as long as the recording, and memory must stay flat. TOLVEX_SOAK_SECONDS
// shortens or lengthens the run (300 s by default).

#include "ProcessStatus.h"
#include "RecordingChecks.h"

#include <QFile>
#include <QTest>

#include <algorithm>

namespace {

using namespace RecordingChecks;

constexpr double sysHz = 440.0, micHz = 1000.0;
constexpr double window = 0.1;

double residentMiB() {
    const qint64 bytes = processStatusBytes("VmRSS");
    return bytes < 0 ? -1.0 : static_cast<double>(bytes) / (1024.0 * 1024.0);
}

// The first window of `samples` in which the tone is weaker than 0.97 of its usual level (a
// steady tone stays within 0.99 of it; 3 ms of silence fall below), as "at N s: level of
// usual"; empty when every window holds it.
QString firstWeakWindow(const std::vector<float> &samples, double hz, double from, double to) {
    std::vector<double> levels;
    for (double t = from; t + window <= to; t += window)
        levels.push_back(tone(samples, hz, t, t + window));
    if (levels.empty())
        return QStringLiteral("no window at all");
    std::vector<double> sorted = levels;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double usual = sorted[sorted.size() / 2];
    if (usual < 0.1)
        return QStringLiteral("the tone is missing (level %1)").arg(usual);
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (levels[i] < 0.97 * usual)
            return QStringLiteral("at %1 s: %2 of %3")
                .arg(from + static_cast<double>(i) * window)
                .arg(levels[i])
                .arg(usual);
    }
    return {};
}

} // namespace

class CaptureSoakTest : public QObject {
    Q_OBJECT

private slots:
    void longRecordingKeepsEverySampleInFlatMemory() {
        const int soakSeconds = qEnvironmentVariableIsSet("TOLVEX_SOAK_SECONDS")
                                    ? qEnvironmentVariableIntValue("TOLVEX_SOAK_SECONDS")
                                    : 300;
        QVERIFY(soakSeconds >= 40);
        START_SERVER(server);
        // The server plays the tones itself, so no player of the test's can run dry.
        QVERIFY(server.pactl({"load-module", "module-sine", "sink=speakers",
                              "frequency=" + QString::number(sysHz)}));
        QVERIFY(server.pactl(
            {"load-module", "module-sine", "sink=micsink", "frequency=" + QString::number(micHz)}));
        QTest::qWait(300);

        // The recording begins somewhere within the start.
        AudioRecorder recorder;
        QElapsedTimer beforeStart;
        beforeStart.start();
        START_OK(recorder);
        QElapsedTimer clock;
        clock.start();
        const QString sysKeep = keep(recorder.sysPath()), micKeep = keep(recorder.micPath());
        QVERIFY(!sysKeep.isEmpty() && !micKeep.isEmpty());
        QTest::qWait(30'000);
        const double settled = residentMiB();
        double highest = settled;
        while (clock.elapsed() < soakSeconds * 1000) {
            QTest::qWait(1000);
            highest = std::max(highest, residentMiB());
        }
        const double recorded = secondsOf(clock), recordedAtMost = secondsOf(beforeStart);
        const auto result = QCoro::waitFor(recorder.stopRecording());
        QVERIFY(result.has_value());
        QCOMPARE(result->loss, RecordedAudio::Loss::none);
        qInfo("resident memory: %.1f MiB after 30 s, at most %.1f MiB until %.0f s", settled,
              highest, recorded);
        QVERIFY2(settled > 0 && highest - settled < 4.0,
                 qPrintable(QStringLiteral("grew by %1 MiB").arg(highest - settled)));

        // 50 ms a minute, and two AAC frames: a part file keeps its encoder's priming and the
        // padding of its last frame.
        const double tolerance = 0.05 * recorded / 60.0 + 2048.0 / 44100.0;
        const struct {
            const char *name;
            QString path;
            std::vector<double> tones;
        } files[] = {{"system part", sysKeep, {sysHz}},
                     {"microphone part", micKeep, {micHz}},
                     {"mix", result->filePath, {sysHz, micHz}}};
        for (const auto &file : files) {
            const std::vector<float> audio = AudioProbe::decode(file.path);
            QVERIFY2(seconds(audio) > recorded - tolerance &&
                         seconds(audio) < recordedAtMost + tolerance,
                     qPrintable(QStringLiteral("%1: %2 to %3 s recorded, %4 s in the file")
                                    .arg(QLatin1String(file.name))
                                    .arg(recorded)
                                    .arg(recordedAtMost)
                                    .arg(seconds(audio))));
            for (const double hz : file.tones) {
                const QString weak = firstWeakWindow(audio, hz, 0.3, seconds(audio) - 0.3);
                QVERIFY2(weak.isEmpty(), qPrintable(QStringLiteral("%1, %2 Hz %3")
                                                        .arg(QLatin1String(file.name))
                                                        .arg(hz)
                                                        .arg(weak)));
            }
        }
    }
};

QTEST_GUILESS_MAIN(CaptureSoakTest)
#include "tst_capturesoak.moc"
