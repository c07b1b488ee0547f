// Capture against a real sound server when time goes wrong: an audio thread that stalls,
// devices that come and go, a server that hangs or restarts; and the microphone level bar, which
// follows the devices too.

#include "MicLevelMonitor.h"
#include "PulseCapture.h"
#include "RecorderRig.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <numbers>
#include <thread>

#include <dlfcn.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

using namespace AudioProbe;

namespace {

std::atomic<pa_threaded_mainloop *> newestLoop{nullptr};
// From this steady-clock time (ns) on, the server's latency reports say the audio waited this
// much less than it did, as they did on a user's machine after a slow start.
std::atomic<std::int64_t> shortReportsFromNs{std::numeric_limits<std::int64_t>::max()};
constexpr pa_usec_t reportShortfallUs = 200'000;

bool reportsShort() {
    return std::chrono::steady_clock::now().time_since_epoch().count() >= shortReportsFromNs;
}

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

extern "C" int pa_stream_get_latency(pa_stream *stream, pa_usec_t *latency, int *negative) {
    using Get = int (*)(pa_stream *, pa_usec_t *, int *);
    static const auto get = reinterpret_cast<Get>(dlsym(RTLD_NEXT, "pa_stream_get_latency"));
    const int result = get(stream, latency, negative);
    if (result == 0 && reportsShort() && !*negative) {
        *negative = *latency < reportShortfallUs;
        *latency = *negative ? reportShortfallUs - *latency : *latency - reportShortfallUs;
    }
    return result;
}

extern "C" const pa_timing_info *pa_stream_get_timing_info(pa_stream *stream) {
    using Get = const pa_timing_info *(*)(pa_stream *);
    static const auto get = reinterpret_cast<Get>(dlsym(RTLD_NEXT, "pa_stream_get_timing_info"));
    const pa_timing_info *info = get(stream);
    if (!info || !reportsShort())
        return info;
    // Only the audio thread asks. Heard that much later is captured that much later.
    static pa_timing_info shortened;
    shortened = *info;
    shortened.sink_usec += reportShortfallUs;
    return &shortened;
}

namespace {

constexpr double sysHz = 1000.0, micHz = 2000.0;

// The four tracks a recording is judged by: each part, and each source in the mix, told apart
// by pitch.
std::array<std::tuple<const char *, const std::vector<float> *, double>, 4>
fourTracks(const std::vector<float> &sys, const std::vector<float> &mic,
           const std::vector<float> &mix) {
    return {{{"system part", &sys, sysHz},
             {"microphone part", &mic, micHz},
             {"system in the mix", &mix, sysHz},
             {"microphone in the mix", &mix, micHz}}};
}

// Plays a beep on `sink` and one on the microphone; when, on the recording's clock.
double beep(RecorderRig &rig, const char *sink, double length = 0.2) {
    const double at = rig.elapsed();
    rig.server->play(QString::fromLatin1(sink), SoundServer::tone(sysHz, length, 0.5f));
    rig.server->play(SoundServer::micSink, SoundServer::tone(micHz, length, 0.5f));
    return at;
}

// Plays a second beep on `sink` and stops the recording a second later. Each of its four tracks
// (the system and the microphone part, and each of them in the mix, told apart by pitch) then
// holds its two beeps as far apart as they were played and is silent between them; the
// system's beeps sound together with the microphone's. All within `tolerance`.
void verifyBeepsApart(RecorderRig &rig, double firstBeep, const char *sink, double tolerance,
                      double playedTolerance = 0.0) {
    constexpr double length = 0.2;
    const double played = beep(rig, sink) - firstBeep;
    QTest::qWait(1000);
    const std::optional<RecordedAudio> result = rig.stop();
    QVERIFY(result.has_value());
    playedTolerance = std::max(playedTolerance, tolerance);
    const std::vector<float> sys = decode(rig.sysKeep), mic = decode(rig.micKeep),
                             mix = decode(result->filePath);
    const auto tracks = fourTracks(sys, mic, mix);
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

    void stalledAudioThreadLosesAndMovesNothing_data() {
        QTest::addColumn<int>("slowStartMs");
        QTest::addColumn<int>("stallMs");
        QTest::addColumn<int>("shortReportsAfterMs"); // -1: the latency reports stay right
        QTest::newRow("a 0.5 s stall") << 0 << 500 << -1;
        QTest::newRow("a slow start, then a 0.5 s stall") << 200 << 500 << -1;
        QTest::newRow("a 1.5 s stall") << 0 << 1500 << -1;
        QTest::newRow("latency reports short after a slow start, a stall") << 200 << 500 << 400;
    }

    // Steady tones on both sources, playing before the recording starts; the audio thread is
    // held up as the streams open (a start on a busy machine), the server's latency reports
    // may fall short later, and the audio thread stalls, and again at the click on Stop. Each
    // part and the mix hold their tone from their start to its end at its level, with no run
    // of silence, click or jump of phase (nothing beyond a few times what the AAC codec itself
    // leaves); the tone's end and a beep after it sit as far apart as they were played, in both
    // tracks together; and the tones played at the click last to the recording's end.
    void stalledAudioThreadLosesAndMovesNothing() {
        QFETCH(int, slowStartMs);
        QFETCH(int, stallMs);
        QFETCH(int, shortReportsAfterMs);
        RecorderRig rig;
        SoundServer &server = *rig.server;
        VERIFY_RUNNING(server);
        // One player for both sources, so their sounds are in step to the sample however late
        // it starts: the system's on the front channels of an output that also has an LFE
        // channel, which the server leaves out of a stereo recording of its monitor, and the
        // microphone's on the LFE channel, which a source of its own takes as the microphone.
        // Each part then holds the same sound on both channels, as the codec likes it.
        const QString channels = QStringLiteral("front-left,front-right,lfe");
        QVERIFY(server.pactl({"load-module", "module-null-sink", "sink_name=stage", "channels=3",
                              "channel_map=" + channels}));
        QVERIFY(server.pactl({"load-module", "module-remap-source", "source_name=lfemic",
                              "master=stage.monitor", "channels=1", "master_channel_map=lfe",
                              "channel_map=mono"}));
        server.keepBusy(QStringLiteral("stage"));
        QVERIFY(server.pactl({"set-default-sink", "stage"}));
        QVERIFY(server.pactl({"set-default-source", "lfemic"}));
        SoundServer::settle();
        constexpr double toneEnd = 5.0, gap = 0.5, level = 0.3, tailFrom = toneEnd + gap + 0.5;
        // The tones until `toneEnd`, a beep `gap` after them and the tones again from `tailFrom`
        // on, in `channels`.
        std::vector<float> played(static_cast<std::size_t>((tailFrom + 1.5) * 44100) * 3);
        for (std::size_t i = 0; i < played.size() / 3; ++i) {
            const double t = static_cast<double>(i) / 44100;
            if (t < toneEnd || (t >= toneEnd + gap && t < toneEnd + gap + 0.2) || t >= tailFrom) {
                for (const auto &[channel, hz] : {std::pair{0, sysHz}, std::pair{2, micHz}})
                    played[i * 3 + channel] =
                        static_cast<float>(level * std::sin(2.0 * std::numbers::pi * hz * t));
                played[i * 3 + 1] = played[i * 3];
            }
        }
        QElapsedTimer playing;
        server.play(QStringLiteral("stage"), played, SoundServer::Buffer::long_, channels);
        playing.start();
        QTest::qWait(800);
        START_OK(rig);
        if (shortReportsAfterMs >= 0)
            shortReportsFromNs = std::chrono::steady_clock::now().time_since_epoch().count() +
                                 std::int64_t{shortReportsAfterMs} * 1'000'000;
        pa_threaded_mainloop *audioLoop = newestLoop;
        QVERIFY(audioLoop);
        const auto holdAudioThread = [audioLoop](int holdMs) {
            pa_threaded_mainloop_lock(audioLoop);
            QThread::msleep(static_cast<unsigned long>(holdMs));
            pa_threaded_mainloop_unlock(audioLoop);
        };
        holdAudioThread(slowStartMs);
        QTest::qWait(1000);
        holdAudioThread(stallMs);
        // The click comes while the audio thread is held up again and the tones play: what the
        // server still holds then belongs in the recording.
        QTest::qWait(static_cast<int>((tailFrom + 0.5) * 1000 - playing.elapsed()));
        std::thread heldAtTheStop(holdAudioThread, 400);
        QThread::msleep(200);
        const std::optional<RecordedAudio> result = rig.stop();
        heldAtTheStop.join();
        shortReportsFromNs = std::numeric_limits<std::int64_t>::max();
        QVERIFY(result.has_value());

        const std::vector<float> sys = decode(rig.sysKeep), mic = decode(rig.micKeep),
                                 mix = decode(result->filePath);
        const auto tracks = fourTracks(sys, mic, mix);
        // The most the codec itself leaves beside both tones, as the server hands them over
        // (PulseAudio's sinks have 16-bit samples, which the codec finds harder than exact sines).
        std::vector<float> reference;
        for (std::size_t i = 0; i < 4 * 44100; ++i) {
            const auto served = [&](double hz) {
                const double t = static_cast<double>(i) / 44100;
                return std::round(32767.0 * level * std::sin(2.0 * std::numbers::pi * hz * t)) /
                       32767.0;
            };
            const auto sum = static_cast<float>(served(sysHz) + served(micHz));
            reference.insert(reference.end(), {sum, sum});
        }
        const double codecFloor = worstResidual(throughAac(reference), {sysHz, micHz}, 0.1, 3.9);
        constexpr double primingSeconds = 1024.0 / 44100;
        // Past the leading silence: the fragmented parts start with the encoder's priming (1024
        // frames), and the codec finds its level over its first frames.
        constexpr double steadyFrom = 0.06;
        double ends[4], beeps[4];
        QString found;
        for (int i = 0; i < 4; ++i) {
            const auto &[name, audio, hz] = tracks[i];
            double end = steadyFrom;
            while (end + 0.005 < seconds(*audio) && tone(*audio, hz, end, end + 0.005) > 0.1)
                end += 0.001;
            ends[i] = end;
            beeps[i] = onsetOf(*audio, hz, end + 0.1);
            found += QStringLiteral("%1: tone from %2 s to %3 s, beep at %4 s; ")
                         .arg(name)
                         .arg(onsetOf(*audio, hz))
                         .arg(ends[i])
                         .arg(beeps[i]);
        }
        QVERIFY2(std::min(onsetOf(mix, sysHz), onsetOf(mix, micHz)) <= 0.005, qPrintable(found));
        for (int i = 0; i < 4; ++i) {
            const auto &[name, audio, hz] = tracks[i];
            const bool inMix = audio == &mix;
            QVERIFY2(ends[i] > toneEnd - 1.5 && std::abs(beeps[i] - ends[i] - gap) <= 0.01 &&
                         std::abs(ends[i] - ends[i ^ 1]) <= 0.02 &&
                         std::abs(beeps[i] - beeps[i ^ 1]) <= 0.02,
                     qPrintable(found));
            // The recording begins with the first sample delivered. The other source's stream
            // may open a few milliseconds later on a busy machine, and is silent until then,
            // but never for the time the audio thread was held up.
            const double lead = onsetOf(*audio, hz) - (inMix ? 0.0 : primingSeconds);
            QVERIFY2(lead <= 0.025, qPrintable(found));
            double lastHeard = seconds(*audio);
            while (lastHeard > 0.0 && tone(*audio, hz, lastHeard - 0.005, lastHeard) < 0.1)
                lastHeard -= 0.001;
            QVERIFY2(seconds(*audio) - lastHeard <= 0.05,
                     qPrintable(QStringLiteral("%1: silent for the last %2 s")
                                    .arg(name)
                                    .arg(seconds(*audio) - lastHeard)));
            for (double t = steadyFrom; t + 0.005 < ends[i] - 0.03; t += 0.005) {
                const double heard = tone(*audio, hz, t, t + 0.005);
                QVERIFY2(std::abs(20.0 * std::log10(heard / level)) <= 1.0,
                         qPrintable(QStringLiteral("%1: %2 at %3 s; %4")
                                        .arg(name)
                                        .arg(heard)
                                        .arg(t)
                                        .arg(found)));
            }
            // Before the tones' end, and once they sound again until the recording ends.
            const std::vector<double> tones = inMix ? std::vector{sysHz, micHz} : std::vector{hz};
            const double left =
                std::max(worstResidual(*audio, tones, steadyFrom, ends[i] - 0.03),
                         worstResidual(*audio, tones, beeps[i] + 0.55, seconds(*audio) - 0.05));
            QVERIFY2(left <= 4.0 * codecFloor,
                     qPrintable(QStringLiteral("%1: %2 left beside the tone, the codec leaves %3")
                                    .arg(name)
                                    .arg(left)
                                    .arg(codecFloor)));
        }
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
        verifyBeepsApart(rig, firstBeep, "headphones", 0.05, resumedSinkLatency);
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
        verifyBeepsApart(rig, firstBeep, SoundServer::speakers, 0.6);
        VERIFY_NEAR(seconds(decode(rig.sysKeep)), rig.recorded, 0.15);
    }

    // The server hangs as a stream is asked for, long enough for the capture to give it up and
    // ask again, then answers everything at once: the stream given up ends rather than record
    // for no one and hold the microphone, and the new one records alone.
    void streamGivenUpOnAHungServerEnds() {
        const std::unique_ptr<SoundServer> server = startSoundServer();
        VERIFY_RUNNING(*server);
        std::atomic<int> chunks = 0;
        PulseCapture capture(
            {"tolvex.level", PulseCapture::Sources::microphoneOnly, PulseCapture::fragmentFrames});
        const QFuture<PulseCapture::Discovery> found = capture.connect();
        QTRY_VERIFY(found.isFinished());
        QCOMPARE(found.result().outcome, PulseCapture::Outcome::ready);
        server->pause();
        QFuture<bool> opened = capture.open([&chunks](CaptureChunk &&) { ++chunks; });
        QTest::qWait(PulseCapture::answerTimeoutMs + 500);
        QVERIFY(opened.isFinished() && !opened.result());
        server->resume();
        QTRY_VERIFY_WITH_TIMEOUT(chunks > 0, 5000);
        QTest::qWait(500);
        QCOMPARE(server->recordingStreams(), 1);
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
