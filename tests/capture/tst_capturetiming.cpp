// Capture against a real sound server when time goes wrong: an audio thread that stalls, a
// server that restarts, one that never answers, a disk the encoder has to wait for.

#include "CaptureEncoder.h"
#include "PulseCapture.h"
#include "RecordingChecks.h"
#include "ThreadHold.h"

#include <QLocalServer>
#include <QThread>

#include <atomic>
#include <cmath>
#include <numbers>

#include <dlfcn.h>
#include <pulse/thread-mainloop.h>

namespace {

using namespace RecordingChecks;

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

constexpr double beepHz = 1000.0;
constexpr double sysHz = 1000.0, micHz = 2000.0;

// Each of a recording's four tracks (the system and the microphone part, and each of them in
// the mix, told apart by pitch) holds its two beeps `played` seconds apart with nothing between
// them, and the system's beeps sound together with the microphone's; all within `tolerance`.
void verifyBeepsApart(const QString &sysPath, const QString &micPath, const QString &mixPath,
                      double played, double tolerance) {
    const std::vector<float> sys = AudioProbe::decode(sysPath), mic = AudioProbe::decode(micPath),
                             mix = AudioProbe::decode(mixPath);
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
        second[i] = onsetOf(*audio, hz, first[i] + 0.5);
        QVERIFY2(first[i] >= 0.0 && second[i] >= 0.0 &&
                     std::abs(second[i] - first[i] - played) <= tolerance,
                 qPrintable(QStringLiteral("%1: beeps at %2 s and %3 s, played %4 s apart")
                                .arg(QLatin1String(name))
                                .arg(first[i])
                                .arg(second[i])
                                .arg(played)));
        // Nothing but silence between them: no device's sound leaked into the track.
        QVERIFY2(tone(*audio, hz, first[i] + 0.3, second[i] - 0.1) < 0.01, name);
    }
    for (const int i : {0, 2}) {
        QVERIFY2(std::abs(first[i] - first[i + 1]) <= tolerance &&
                     std::abs(second[i] - second[i + 1]) <= tolerance,
                 qPrintable(QStringLiteral("%1 %2 s, %3 s; %4 %5 s, %6 s")
                                .arg(QLatin1String(tracks[i].name))
                                .arg(first[i])
                                .arg(second[i])
                                .arg(QLatin1String(tracks[i + 1].name))
                                .arg(first[i + 1])
                                .arg(second[i + 1])));
    }
}

} // namespace

class CaptureTimingTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { emptyPrivateFolder(); }

    // The microphone hears the output's right channel, so one player's two beeps, 2.2 s
    // apart, reach both tracks: at 1 kHz on the left (system only), at 2 kHz on the right
    // (both). Apart in pitch, the two tracks' beeps cannot cancel each other in the mix
    // whatever fraction of a millisecond lies between them. The audio thread stops for 300 ms
    // between the beeps; afterwards the second beep is still 2.2 s after the first in both part
    // files and in the mix, and at the same time in both tracks.
    void stalledAudioThreadMovesNothing() {
        START_SERVER(server, {.outputs = true, .microphone = false});
        QVERIFY(server.pactl({"load-module", "module-remap-source", "source_name=echo",
                              "master=speakers.monitor", "channels=1", "channel_map=mono",
                              "master_channel_map=front-right"}));
        QVERIFY(server.pactl({"set-default-source", "echo"}));

        AudioRecorder recorder;
        START_OK(recorder);
        const QString sysKeep = keep(recorder.sysPath()), micKeep = keep(recorder.micPath());
        const auto at = [](double second) { return static_cast<std::size_t>(second * 44100); };
        std::vector<float> program(at(3.4) * 2, 0.0f);
        for (const double onset : {0.5, 2.7}) {
            for (std::size_t frame = 0; frame < at(0.2); ++frame) {
                const double t = static_cast<double>(frame) / 44100.0;
                program[(at(onset) + frame) * 2] =
                    static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * sysHz * t));
                program[(at(onset) + frame) * 2 + 1] =
                    static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * micHz * t));
            }
        }
        server.play(PulseServer::speakers, program);
        QTest::qWait(1500);
        pa_threaded_mainloop *audioLoop = newestLoop;
        QVERIFY(audioLoop);
        pa_threaded_mainloop_lock(audioLoop);
        QThread::msleep(300);
        pa_threaded_mainloop_unlock(audioLoop);
        QTest::qWait(2500);
        const auto result = QCoro::waitFor(recorder.stopRecording());
        QVERIFY(result.has_value());

        verifyBeepsApart(sysKeep, micKeep, result->filePath, 2.2, 0.02);
    }

    // A headset comes and goes (the default output switches twice) and the microphone is
    // unplugged and plugged in again, all in one recording. Beeps played on both sources before
    // and after sit in the tracks and the mix as far apart as they were played.
    void devicesComingAndGoingKeepTheTracksAligned() {
        START_SERVER(server);
        QVERIFY(server.pactl({"load-module", "module-null-sink", "sink_name=headphones"}));
        server.keepBusy(QStringLiteral("headphones"));
        PulseServer::settle();
        AudioRecorder recorder;
        START_OK(recorder);
        QElapsedTimer clock;
        clock.start();
        const QString sysKeep = keep(recorder.sysPath()), micKeep = keep(recorder.micPath());
        const std::vector<float> sysBeep = PulseServer::tone(sysHz, 0.2, 0.5f);
        const std::vector<float> micBeep = PulseServer::tone(micHz, 0.2, 0.5f);
        const auto beep = [&] {
            const double at = secondsOf(clock);
            server.play(PulseServer::speakers, sysBeep);
            server.play(PulseServer::micSink, micBeep);
            return at;
        };

        QTest::qWait(800);
        const double firstBeep = beep();
        QTest::qWait(700);
        QVERIFY(server.pactl({"set-default-sink", "headphones"}));
        QTest::qWait(500);
        QVERIFY(server.pactl({"unload-module", "module-remap-source"}));
        QTest::qWait(500);
        QVERIFY(server.pactl({"set-default-sink", "speakers"}));
        QTest::qWait(500);
        QVERIFY(server.pactl(
            {"load-module", "module-remap-source", "source_name=mic", "master=micsink.monitor"}));
        QVERIFY(server.pactl({"set-default-source", "mic"}));
        QTest::qWait(1500);
        const double secondBeep = beep();
        QTest::qWait(1000);
        const auto result = QCoro::waitFor(recorder.stopRecording());
        QVERIFY(result.has_value());

        verifyBeepsApart(sysKeep, micKeep, result->filePath, secondBeep - firstBeep, 0.05);
    }

    // The server is restarted mid-recording while a question of ours is still unanswered (the
    // microphone was just unplugged, and the server hung); what is played afterwards is
    // recorded on both tracks.
    void serverRestartIsFollowed() {
        START_SERVER(server);
        AudioRecorder recorder;
        START_OK(recorder);
        QElapsedTimer clock;
        clock.start();
        const QString sysKeep = keep(recorder.sysPath()), micKeep = keep(recorder.micPath());
        QTest::qWait(1000);
        QVERIFY(server.pactl({"unload-module", "module-remap-source"}));
        server.pause();
        // Long enough for the lost microphone's retry to ask the hung server again.
        QTest::qWait(PulseCapture::retryMs * 2);
        QVERIFY(server.restart());
        // Both streams reopen on the new server; how soon depends on the machine's load, and
        // what is played before cannot be recorded by anyone.
        QTRY_COMPARE_WITH_TIMEOUT(server.recordingSources().size(), 2, 8000);
        const double back = secondsOf(clock);
        server.play(PulseServer::speakers, PulseServer::tone(440, 4.0, 0.5f));
        server.play(PulseServer::micSink, PulseServer::tone(beepHz, 4.0, 0.5f));
        QTest::qWait(2500);
        const double recorded = secondsOf(clock);
        const auto result = QCoro::waitFor(recorder.stopRecording());
        QVERIFY(result.has_value());

        const std::vector<float> sysAudio = AudioProbe::decode(sysKeep);
        const std::vector<float> micAudio = AudioProbe::decode(micKeep);
        const std::vector<float> mix = AudioProbe::decode(result->filePath);
        VERIFY_LENGTH(sysAudio, recorded, 0.15);
        const double from = back + 0.3, to = recorded - 0.3;
        QVERIFY2(tone(sysAudio, 440, from, to) > 0.2,
                 qPrintable(QString::number(tone(sysAudio, 440, from, to))));
        QVERIFY2(tone(micAudio, beepHz, from, to) > 0.2,
                 qPrintable(QString::number(tone(micAudio, beepHz, from, to))));
        QVERIFY(tone(mix, 440, from, to) > 0.15 && tone(mix, beepHz, from, to) > 0.15);
    }

    // A socket that takes the connection and never says a word: the start fails with the
    // no-server text instead of waiting for ever.
    void silentServerFailsTheStartInTime() {
        QTemporaryDir folder;
        QLocalServer silent;
        QVERIFY(silent.listen(folder.filePath(QStringLiteral("native"))));
        int connections = 0;
        QObject::connect(&silent, &QLocalServer::newConnection, [&] {
            while (silent.hasPendingConnections()) {
                silent.nextPendingConnection();
                ++connections;
            }
        });
        qputenv("PULSE_SERVER",
                QFile::encodeName(QStringLiteral("unix:") + silent.fullServerName()));
        qputenv("PULSE_CLIENTCONFIG", QFile::encodeName(folder.filePath("client.conf")));

        AudioRecorder recorder;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(startFailure(recorder), noServerText);
        QVERIFY2(clock.elapsed() < 12500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(connections > 0);
        QVERIFY(!recorder.isRecording());
        QVERIFY(folderEntries().isEmpty());
    }

    // The server stops answering between finding the devices and opening the streams: the
    // open reports failure in time.
    void streamThatNeverStartsIsGivenUp() {
        START_SERVER(server);
        PulseCapture capture;
        QCOMPARE(capture.connect().result().outcome, PulseCapture::Outcome::ready);
        server.pause();
        QElapsedTimer clock;
        clock.start();
        const bool started = capture.open([](CaptureChunk &&) {}).result();
        const qint64 waited = clock.elapsed();
        server.resume();
        QVERIFY(!started);
        QVERIFY2(waited < 12500, qPrintable(QString::number(waited)));
    }

    // The encoder's thread is held as a slow disk would hold it while 3 s of audio come in;
    // its queue keeps 1 s, the rest becomes silence that is counted and reported, and the
    // track still lasts the whole 3 s.
    void blockedEncoderDropsCountedAudio() {
        constexpr std::int64_t chunk = 882, chunks = 150, kept = 50;
        const std::int64_t origin = steadyNowNs();
        const QString sysPath = AudioFiles::newFilePath(QStringLiteral("sys_"));
        const QString micPath = AudioFiles::newFilePath(QStringLiteral("mic_"));
        const std::vector<float> beep = PulseServer::tone(beepHz, 3.0, 0.5f);
        CaptureReport report;
        {
            CaptureEncoder encoder(TrackEncoder(sysPath, nullptr, origin),
                                   TrackEncoder(micPath, nullptr, origin), nullptr, kept * chunk);
            ThreadHold hold(QStringLiteral("tolvex.encode"));
            QVERIFY(hold.held());
            for (std::int64_t i = 0; i < chunks; ++i) {
                CaptureChunk piece;
                piece.frames = chunk;
                piece.captureNs = origin + i * 20'000'000;
                piece.streamStart = i == 0;
                piece.samples.assign(beep.begin() + i * chunk * 2,
                                     beep.begin() + (i + 1) * chunk * 2);
                encoder.push(std::move(piece));
            }
            hold.release();
            report = encoder.finish(origin + 3'000'000'000).result();
        }
        QCOMPARE(report.system.framesDropped, (chunks - kept) * chunk);
        QCOMPARE(report.system.framesWritten, chunks * chunk);
        QVERIFY(!report.system.writerFailed);
        QVERIFY(!report.microphone.fileCreated);

        const std::vector<float> audio = AudioProbe::decode(sysPath);
        QVERIFY2(std::abs(seconds(audio) - 3.0) < 0.05,
                 qPrintable(QString::number(seconds(audio))));
        QVERIFY(tone(audio, beepHz, 0.05, 0.95) > 0.35);
        QVERIFY(tone(audio, beepHz, 1.1, 2.9) < 0.01);
    }
};

QTEST_GUILESS_MAIN(CaptureTimingTest)
#include "tst_capturetiming.moc"
