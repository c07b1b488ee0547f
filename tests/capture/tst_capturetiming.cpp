// Capture against a real sound server when time goes wrong: an audio thread that stalls,
// devices that come and go, a server that restarts; and the microphone level bar, which
// follows the devices too.

#include "MicLevelMonitor.h"
#include "PulseCapture.h"
#include "RecorderRig.h"

#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>

#include <dlfcn.h>
#include <pulse/thread-mainloop.h>

using namespace AudioProbe;

namespace {

std::atomic<pa_threaded_mainloop *> newestLoop{nullptr};

} // namespace

// The program's calls to libpulse come through here first, so the test can take the newest
// loop's lock and hold its thread where a busy machine would: waiting to run its callbacks.
extern "C" pa_threaded_mainloop *pa_threaded_mainloop_new() {
    using Create = pa_threaded_mainloop *(*)();
    static const auto create =
        reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pa_threaded_mainloop_new"));
    pa_threaded_mainloop *loop = create();
    newestLoop = loop;
    return loop;
}

namespace {

constexpr double sysHz = 1000.0, micHz = 2000.0;

// Plays a beep on `sink` and one on the microphone; when, on the recording's clock.
double beep(RecorderRig &rig, const char *sink, double length = 0.2) {
    const double at = rig.elapsed();
    rig.server->play(QString::fromLatin1(sink), SoundServer::tone(sysHz, length, 0.5f));
    rig.server->play(SoundServer::micSink, SoundServer::tone(micHz, length, 0.5f));
    return at;
}

// Plays a second beep on `sink` and stops the recording a second later. Each of its four tracks
// (the system and the microphone part, and each of them in the mix, told apart by pitch) then
// holds its two beeps as far apart as they were played, sounding through the first beep's
// `length` and silent between the beeps; the system's beeps sound together with the
// microphone's. All within `tolerance`.
void verifyBeepsApart(RecorderRig &rig, double firstBeep, const char *sink, double length,
                      double tolerance, double playedTolerance = 0.0) {
    const double played = beep(rig, sink) - firstBeep;
    QTest::qWait(1000);
    const std::optional<RecordedAudio> result = rig.stop();
    QVERIFY(result.has_value());
    playedTolerance = std::max(playedTolerance, tolerance);
    const std::vector<float> sys = decode(rig.sysKeep), mic = decode(rig.micKeep),
                             mix = decode(result->filePath);
    const std::tuple<const char *, const std::vector<float> *, double> tracks[] = {
        {"system part", &sys, sysHz},
        {"microphone part", &mic, micHz},
        {"system in the mix", &mix, sysHz},
        {"microphone in the mix", &mix, micHz}};
    double first[4], second[4];
    QString beeps = QStringLiteral("played %1 s apart; ").arg(played);
    for (int i = 0; i < 4; ++i) {
        const auto &[name, audio, hz] = tracks[i];
        first[i] = onsetOf(*audio, hz);
        second[i] = onsetOf(*audio, hz, first[i] + length + 0.1);
        beeps += QStringLiteral("%1 at %2 s, %3 s; ").arg(name).arg(first[i]).arg(second[i]);
    }
    for (int i = 0; i < 4; ++i) {
        const auto &[name, audio, hz] = tracks[i];
        QVERIFY2(first[i] >= 0.0 && std::abs(second[i] - first[i] - played) <= playedTolerance &&
                     std::abs(first[i] - first[i ^ 1]) <= tolerance &&
                     std::abs(second[i] - second[i ^ 1]) <= tolerance,
                 qPrintable(beeps));
        for (double t = first[i] + 0.02; t + 0.05 < first[i] + length - 0.02; t += 0.05)
            QVERIFY2(tone(*audio, hz, t, t + 0.05) > 0.35,
                     qPrintable(QStringLiteral("%1: a hole at %2 s").arg(name).arg(t)));
        // Nothing but silence between them: no device's sound leaked into the track.
        QVERIFY2(tone(*audio, hz, first[i] + length + 0.1, second[i] - 0.1) < 0.01, name);
    }
}

// A player started on a sink that was just resumed may begin this much later on PipeWire than
// its start time says; both tracks hear it equally late, so they are still checked against each
// other at the tight tolerance.
constexpr double resumedSinkLatency = 0.15;

} // namespace

class CaptureTimingTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { emptyPrivateFolder(); }

    // The audio thread stops for 300 ms during a 2 s long beep: it sounds on without a hole,
    // and the next beep is still as far from it as it was played.
    void stalledAudioThreadLosesAndMovesNothing() {
        RecorderRig rig;
        START_OK(rig);
        QTest::qWait(500);
        const double firstBeep = beep(rig, SoundServer::speakers, 2.0);
        QTest::qWait(1000);
        pa_threaded_mainloop *audioLoop = newestLoop;
        QVERIFY(audioLoop);
        pa_threaded_mainloop_lock(audioLoop);
        QThread::msleep(300);
        pa_threaded_mainloop_unlock(audioLoop);
        QTest::qWait(1500);
        verifyBeepsApart(rig, firstBeep, SoundServer::speakers, 2.0, 0.05);
    }

    // The microphone appears a second into the recording, a headset becomes the default
    // output, the microphone is unplugged and plugged in again, and the headset is suspended
    // for a second. Beeps played on both sources before and after sit in the tracks and the mix
    // as far apart as they were played.
    void devicesComingAndGoingKeepTheTracksAligned() {
        RecorderRig rig;
        SoundServer &server = *rig.server;
        QVERIFY(server.pactl({"load-module", "module-null-sink", "sink_name=headphones"}));
        server.keepBusy(QStringLiteral("headphones"));
        SoundServer::settle();
        QVERIFY(server.pactl({"set-default-source", "speakers.monitor"}));
        START_OK(rig);
        QVERIFY(rig.micKeep.isEmpty());
        QTest::qWait(1000);
        QVERIFY(server.pactl({"set-default-source", "mic"}));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(rig.recorder.micPath()), 2000);
        rig.micKeep = rig.keep(rig.recorder.micPath());

        QTest::qWait(800);
        const double firstBeep = beep(rig, SoundServer::speakers);
        QTest::qWait(700);
        QVERIFY(server.pactl({"set-default-sink", "headphones"}));
        QTest::qWait(500);
        QVERIFY(server.pactl({"unload-module", "module-remap-source"}));
        QTest::qWait(300);
        QVERIFY(server.suspendSink(QStringLiteral("headphones"), true));
        QTest::qWait(1000);
        QVERIFY(server.suspendSink(QStringLiteral("headphones"), false));
        QVERIFY(server.pactl(
            {"load-module", "module-remap-source", "source_name=mic", "master=micsink.monitor"}));
        // PipeWire makes the source a moment after the module loads, and picks a default of its
        // own meanwhile: the recording follows whatever the server settles on.
        QString source;
        QTRY_VERIFY_WITH_TIMEOUT(server.pactl({"set-default-source", "mic"}) &&
                                     server.pactl({"get-default-source"}, &source) &&
                                     source.trimmed() == QLatin1String("mic"),
                                 5000);
        QTest::qWait(1500);
        verifyBeepsApart(rig, firstBeep, "headphones", 0.2, 0.05, resumedSinkLatency);
    }

    // The server dies mid-recording while a question of ours is still unanswered (the
    // microphone was just unplugged, and the server hung), and comes back: beeps played before
    // and after are in both tracks and the mix. The new server's null sinks render ahead until
    // kept busy, which can move the second beep by some 0.4 s; a real device does not.
    void serverRestartIsFollowed() {
        RecorderRig rig;
        START_OK(rig);
        QTest::qWait(800);
        const double firstBeep = beep(rig, SoundServer::speakers);
        QTest::qWait(700);
        QVERIFY(rig.server->pactl({"unload-module", "module-remap-source"}));
        rig.server->pause();
        // Long enough for the lost microphone's retry to ask the hung server again.
        QTest::qWait(PulseCapture::retryMs * 2);
        QVERIFY(rig.server->restart());
        // Both streams reopen on the new server; how soon depends on the machine's load.
        QTRY_COMPARE_WITH_TIMEOUT(rig.server->recordingStreams(), 2, 8000);
        QTest::qWait(500);
        verifyBeepsApart(rig, firstBeep, SoundServer::speakers, 0.2, 0.6);
        VERIFY_NEAR(seconds(decode(rig.sysKeep)), rig.recorded, 0.15);
    }

    // A tone of RMS 0.05 shows as half the bar. The monitor follows the default microphone,
    // shows zero while the default input is no microphone, meters on when the screen starts it
    // again, and drops to zero once stopped, and stays there.
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

        monitor.start();
        for (const auto &[source, level] :
             {std::pair{"mic", 0.5f}, std::pair{"headset", 0.2f},
              std::pair{"speakers.monitor", 0.0f}, std::pair{"mic", 0.5f}}) {
            QVERIFY(server->pactl({"set-default-source", source}));
            QTRY_VERIFY_WITH_TIMEOUT(std::abs(monitor.level() - level) < 0.03f, 5000);
            monitor.start(); // the screen shows again
        }
        QTRY_VERIFY_WITH_TIMEOUT(monitor.level() > 0.47f, 5000);
        monitor.stop();
        QCOMPARE(monitor.level(), 0.0f);
        QTest::qWait(300);
        QCOMPARE(monitor.level(), 0.0f);
    }
};

QTEST_GUILESS_MAIN(CaptureTimingTest)
#include "tst_capturetiming.moc"
