// Capture against a real sound server when time goes wrong: an audio thread that stalls,
// devices that come and go, a server that restarts or stops answering, an encoder that has to
// wait for the disk.

#include "CaptureEncoder.h"
#include "PulseCapture.h"
#include "RecorderRig.h"

#include <QTest>
#include <QThread>

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

// Each of a recording's four tracks (the system and the microphone part, and each of them in
// the mix, told apart by pitch) holds its two beeps `played` seconds apart, sounding through the
// first beep's `length` and silent between the beeps; the system's beeps sound together with
// the microphone's. All within `tolerance`.
void verifyBeepsApart(const RecorderRig &rig, const QString &mixPath, double played, double length,
                      double tolerance) {
    const std::vector<float> sys = decode(rig.sysKeep), mic = decode(rig.micKeep),
                             mix = decode(mixPath);
    const struct {
        const char *name;
        const std::vector<float> *audio;
        double hz;
    } tracks[] = {{"system part", &sys, sysHz},
                  {"microphone part", &mic, micHz},
                  {"system in the mix", &mix, sysHz},
                  {"microphone in the mix", &mix, micHz}};
    double first[4], second[4];
    for (int i = 0; i < 4; ++i) {
        const auto &[name, audio, hz] = tracks[i];
        first[i] = onsetOf(*audio, hz);
        second[i] = onsetOf(*audio, hz, first[i] + length + 0.1);
        QVERIFY2(first[i] >= 0.0 && std::abs(second[i] - first[i] - played) <= tolerance,
                 qPrintable(QStringLiteral("%1: beeps at %2 s and %3 s, played %4 s apart")
                                .arg(QLatin1String(name))
                                .arg(first[i])
                                .arg(second[i])
                                .arg(played)));
        for (double t = first[i] + 0.02; t + 0.05 < first[i] + length - 0.02; t += 0.05)
            QVERIFY2(tone(*audio, hz, t, t + 0.05) > 0.35,
                     qPrintable(QStringLiteral("%1: a hole at %2 s").arg(name).arg(t)));
        // Nothing but silence between them: no device's sound leaked into the track.
        QVERIFY2(tone(*audio, hz, first[i] + length + 0.1, second[i] - 0.1) < 0.01, name);
    }
    for (const int i : {0, 2})
        QVERIFY2(std::abs(first[i] - first[i + 1]) <= tolerance &&
                     std::abs(second[i] - second[i + 1]) <= tolerance,
                 qPrintable(QStringLiteral("%1 at %2 s, %3 s; %4 at %5 s, %6 s")
                                .arg(QLatin1String(tracks[i].name))
                                .arg(first[i])
                                .arg(second[i])
                                .arg(QLatin1String(tracks[i + 1].name))
                                .arg(first[i + 1])
                                .arg(second[i + 1])));
}

} // namespace

class CaptureTimingTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { emptyPrivateFolder(); }

    // The microphone hears the output's right channel, so one player's beeps reach both
    // tracks: at 1 kHz on the left (system only), at 2 kHz on the right (both). Apart in pitch,
    // the two tracks' beeps cannot cancel each other in the mix. The audio thread stops for
    // 300 ms during the first, 2 s long beep: it sounds on without a hole, and the second beep
    // is still 2.5 s after the first everywhere.
    void stalledAudioThreadLosesAndMovesNothing() {
        RecorderRig rig({.outputs = true, .microphone = false});
        VERIFY_RUNNING(*rig.server);
        QVERIFY(rig.server->pactl({"load-module", "module-remap-source", "source_name=echo",
                                   "master=speakers.monitor", "channels=1", "channel_map=mono",
                                   "master_channel_map=front-right"}));
        QVERIFY(rig.server->pactl({"set-default-source", "echo"}));
        START_OK(rig);
        const auto at = [](double second) { return static_cast<std::size_t>(second * 44100); };
        std::vector<float> program(at(3.6) * 2, 0.0f);
        for (const auto &[onset, length] : {std::pair{0.5, 2.0}, std::pair{3.0, 0.2}}) {
            for (std::size_t frame = 0; frame < at(length); ++frame) {
                const double t = static_cast<double>(frame) / 44100.0;
                program[(at(onset) + frame) * 2] =
                    static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * sysHz * t));
                program[(at(onset) + frame) * 2 + 1] =
                    static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * micHz * t));
            }
        }
        rig.server->play(SoundServer::speakers, program, SoundServer::Buffer::long_);
        QTest::qWait(1500);
        pa_threaded_mainloop *audioLoop = newestLoop;
        QVERIFY(audioLoop);
        pa_threaded_mainloop_lock(audioLoop);
        QThread::msleep(300);
        pa_threaded_mainloop_unlock(audioLoop);
        QTest::qWait(2800);
        const auto result = rig.stop();
        QVERIFY(result.has_value());
        verifyBeepsApart(rig, result->filePath, 2.5, 2.0, 0.02);
    }

    // The microphone appears a second into the recording, a headset becomes the default
    // output, the microphone is unplugged and plugged in again, and the headset is suspended
    // for a second. Beeps played on both sources before and after sit in the tracks and the mix
    // as far apart as they were played.
    void devicesComingAndGoingKeepTheTracksAligned() {
        RecorderRig rig;
        VERIFY_RUNNING(*rig.server);
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
        const auto beep = [&](const char *sink) {
            const double at = rig.elapsed();
            server.play(QString::fromLatin1(sink), SoundServer::tone(sysHz, 0.2, 0.5f));
            server.play(SoundServer::micSink, SoundServer::tone(micHz, 0.2, 0.5f));
            return at;
        };

        QTest::qWait(800);
        const double firstBeep = beep(SoundServer::speakers);
        QTest::qWait(700);
        QVERIFY(server.pactl({"set-default-sink", "headphones"}));
        QTest::qWait(500);
        QVERIFY(server.pactl({"unload-module", "module-remap-source"}));
        QTest::qWait(300);
        QVERIFY(server.pactl({"suspend-sink", "headphones", "1"}));
        QTest::qWait(1000);
        QVERIFY(server.pactl({"suspend-sink", "headphones", "0"}));
        QVERIFY(server.pactl(
            {"load-module", "module-remap-source", "source_name=mic", "master=micsink.monitor"}));
        QVERIFY(server.pactl({"set-default-source", "mic"}));
        QTest::qWait(1500);
        const double secondBeep = beep("headphones");
        QTest::qWait(1000);
        const auto result = rig.stop();
        QVERIFY(result.has_value());
        verifyBeepsApart(rig, result->filePath, secondBeep - firstBeep, 0.2, 0.05);
    }

    // The server dies mid-recording while a question of ours is still unanswered (the
    // microphone was just unplugged, and the server hung), and comes back: what was played
    // before is kept, what is played afterwards is recorded on both tracks.
    void serverRestartIsFollowed() {
        RecorderRig rig;
        VERIFY_RUNNING(*rig.server);
        rig.server->play(SoundServer::speakers, SoundServer::tone(440, 3.0, 0.5f));
        START_OK(rig);
        QTest::qWait(1500);
        QVERIFY(rig.server->pactl({"unload-module", "module-remap-source"}));
        rig.server->pause();
        // Long enough for the lost microphone's retry to ask the hung server again.
        QTest::qWait(PulseCapture::retryMs * 2);
        const double gone = rig.elapsed();
        QVERIFY(rig.server->restart());
        // Both streams reopen on the new server; how soon depends on the machine's load, and
        // what is played before cannot be recorded by anyone.
        QTRY_COMPARE_WITH_TIMEOUT(rig.server->recordingStreams(), 2, 8000);
        const double back = rig.elapsed();
        rig.server->play(SoundServer::speakers, SoundServer::tone(440, 4.0, 0.5f));
        rig.server->play(SoundServer::micSink, SoundServer::tone(sysHz, 4.0, 0.5f));
        QTest::qWait(2500);
        const auto result = rig.stop();
        QVERIFY(result.has_value());

        const std::vector<float> sys = decode(rig.sysKeep), mic = decode(rig.micKeep),
                                 mix = decode(result->filePath);
        VERIFY_LENGTH(sys, rig.recorded, 0.15);
        VERIFY_LENGTH(mix, rig.recorded, 0.15);
        const double from = back + 0.3, to = rig.recorded - 0.3;
        for (const auto &[audio, hz] : {std::pair{&sys, 440.0}, std::pair{&mix, 440.0},
                                        std::pair{&mic, sysHz}, std::pair{&mix, sysHz}}) {
            QVERIFY2(tone(*audio, hz, from, to) > 0.15,
                     qPrintable(QStringLiteral("%1 Hz after the restart: %2")
                                    .arg(hz)
                                    .arg(tone(*audio, hz, from, to))));
        }
        QVERIFY(tone(sys, 440, 0.2, gone - 0.8) > 0.2 && tone(mix, 440, 0.2, gone - 0.8) > 0.15);
    }

    // The server stops answering between finding the devices and opening the streams: the
    // open reports failure in time, so a start cannot hang.
    void streamThatNeverStartsIsGivenUp() {
        const std::unique_ptr<SoundServer> server = startSoundServer();
        VERIFY_RUNNING(*server);
        PulseCapture capture;
        QCOMPARE(capture.connect().result().outcome, PulseCapture::Outcome::ready);
        server->pause();
        QElapsedTimer clock;
        clock.start();
        const bool started = capture.open([](CaptureChunk &&) {}).result();
        const qint64 waited = clock.elapsed();
        server->resume();
        QVERIFY(!started);
        QVERIFY2(waited < 12500, qPrintable(QString::number(waited)));
    }

    // Audio comes in faster than a slow disk takes it, beyond what the encoder's queue may
    // hold: it becomes silence of the same length, counted and reported, so the track neither
    // shifts nor hides its loss.
    void audioBeyondTheQueueBecomesCountedSilence() {
        constexpr std::int64_t chunk = 882, chunks = 150;
        const std::int64_t origin = steadyNowNs();
        const QString sysPath = AudioFiles::newFilePath(QStringLiteral("sys_"));
        const std::vector<float> beep = SoundServer::tone(sysHz, 3.0, 0.5f);
        CaptureEncoder encoder(TrackEncoder(sysPath, nullptr, origin),
                               TrackEncoder(QString(), nullptr, origin), nullptr, 0);
        for (std::int64_t i = 0; i < chunks; ++i) {
            CaptureChunk piece;
            piece.frames = chunk;
            piece.captureNs = origin + i * 20'000'000;
            piece.streamStart = i == 0;
            piece.samples.assign(beep.begin() + i * chunk * 2, beep.begin() + (i + 1) * chunk * 2);
            encoder.push(std::move(piece));
        }
        const CaptureReport report = encoder.finish(origin + 3'000'000'000).result();
        QCOMPARE(report.system.framesDropped, chunks * chunk);
        QCOMPARE(report.system.framesWritten, chunks * chunk);
        const std::vector<float> audio = decode(sysPath);
        VERIFY_NEAR(seconds(audio), 3.0, 0.05);
        QVERIFY(tone(audio, sysHz, 0.05, 2.95) < 0.01);
    }
};

QTEST_GUILESS_MAIN(CaptureTimingTest)
#include "tst_capturetiming.moc"
