// The recording session against a real sound server with null sinks fed with known tones.
// FFmpeg's own tools decode the files, so the program's writer is never its own judge.

#include "M4aWriter.h"
#include "ProcessStatus.h"
#include "RecorderRig.h"

#include <QLocalServer>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

using namespace AudioProbe;
using namespace std::chrono_literals;

namespace {

const QString noServerText = QStringLiteral("Нет доступа к звуковому серверу. Проверьте, что "
                                            "PulseAudio или PipeWire запущен, затем перезапустите "
                                            "приложение");

constexpr double sysHz = 440.0, micHz = 1000.0;

// The first 100 ms window in which the tone is weaker than 0.97 of its usual level (a steady
// tone stays within 0.99 of it; 3 ms of silence fall below); empty when every window holds it.
QString firstWeakWindow(const std::vector<float> &audio, double hz) {
    std::vector<double> levels;
    for (double t = 0.3; t + 0.4 <= seconds(audio); t += 0.1)
        levels.push_back(tone(audio, hz, t, t + 0.1));
    std::vector<double> sorted = levels;
    std::sort(sorted.begin(), sorted.end());
    const double usual = sorted.empty() ? 0.0 : sorted[sorted.size() / 2];
    for (std::size_t i = 0; i < levels.size(); ++i) {
        if (levels[i] < 0.97 * usual || usual < 0.1)
            return QStringLiteral("%1 Hz weak at %2 s").arg(hz).arg(0.3 + 0.1 * i);
    }
    return levels.empty() ? QStringLiteral("no audio") : QString();
}

// What the folder holds while a recording runs: both parts and the mix made as they are written.
QStringList whileRecording(const AudioRecorder &recorder) {
    const QString sys = QFileInfo(recorder.sysPath()).fileName();
    return {QStringLiteral("live_") + sys.mid(4), QFileInfo(recorder.micPath()).fileName(), sys};
}

// No room on the disk for this process while the object lives: past a file-size limit of
// nothing, every write to a file fails with EFBIG, as it does on a full disk, for root too.
// The limit and the signal are the whole process's, the encoder's threads included.
struct FullDisk {
    rlimit saved{};
    const sighandler_t savedSignal = std::signal(SIGXFSZ, SIG_IGN);
    const bool full = ::getrlimit(RLIMIT_FSIZE, &saved) == 0 && setLimit(0);

    ~FullDisk() {
        setLimit(saved.rlim_cur);
        std::signal(SIGXFSZ, savedSignal);
    }
    bool setLimit(rlim_t bytes) const {
        const rlimit limit{bytes, saved.rlim_max};
        return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
};

// Run as `--record-until-killed`, the test starts a recording and prints its two part files'
// paths, one per line, once capture runs; the killed-recorder test then kills it.
int recordUntilKilled() {
    AudioRecorder &recorder = AudioRecorder::shared();
    if (!startFailure(recorder).isEmpty())
        return 2;
    std::printf("%s\n%s\n", qPrintable(recorder.sysPath()), qPrintable(recorder.micPath()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

} // namespace

class AudioRecorderTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { emptyPrivateFolder(); }

    // A minute of two steady tones, which the server plays itself so that no player can run
    // dry. Each source goes whole and alone to its part file and into the mix made while
    // recording, which the stop turns into the recording without mixing again. Every file is
    // the user's alone, and memory stays flat. TOLVEX_SOAK_SECONDS makes the run longer.
    void recordsBothSourcesWholeInFlatMemory() {
        const int soakSeconds = std::max(60, qEnvironmentVariableIntValue("TOLVEX_SOAK_SECONDS"));
        RecorderRig rig;
        for (const auto &[sink, hz] : {std::pair{"speakers", sysHz}, std::pair{"micsink", micHz}})
            QVERIFY(rig.server->pactl({"load-module", "module-sine", QStringLiteral("sink=") + sink,
                                       "frequency=" + QString::number(hz)}));
        QTest::qWait(300);
        QElapsedTimer beforeStart; // the recording begins somewhere within the start
        beforeStart.start();
        START_OK(rig);
        const QString id = QFileInfo(rig.recorder.sysPath()).fileName().mid(4);
        const QString folder = AudioFiles::privateFolder() + QLatin1Char('/');
        QCOMPARE(folderEntries(), whileRecording(rig.recorder));
        for (const QString &name : whileRecording(rig.recorder))
            QCOMPARE(modeOf(folder + name), 0600u);
        QCOMPARE(modeOf(folder), 0700u);
        const QString liveKeep = rig.keep(folder + QStringLiteral("live_") + id);
        // What the encoders and the live mix hold is in place after 15 s; a leak that would
        // matter in a long meeting (100 KB/s) shows as more than 4 MiB within the next 45 s.
        QTest::qWait(15'000);
        const qint64 settled = processStatusBytes("VmRSS");
        qint64 highest = settled;
        while (rig.elapsed() < soakSeconds) {
            QTest::qWait(1000);
            highest = std::max(highest, processStatusBytes("VmRSS"));
        }
        const double recordedAtMost = static_cast<double>(beforeStart.elapsed()) / 1000.0;
        const std::optional<RecordedAudio> result = rig.stop();
        QVERIFY(result.has_value());
        QCOMPARE(result->loss, RecordedAudio::Loss::none);
        QCOMPARE(folderEntries(), QStringList{id});
        QCOMPARE(modeOf(result->filePath), 0600u);
        QVERIFY(faststart(result->filePath));
#ifndef __SANITIZE_ADDRESS__ // the sanitizer's own memory would hide any figure
        QVERIFY2(settled > 0 && highest - settled < 4 << 20,
                 qPrintable(QStringLiteral("grew by %1 bytes").arg(highest - settled)));
#endif

        // 50 ms a minute, and two AAC frames: a part file keeps its encoder's priming and the
        // padding of its last frame.
        const double tolerance = 0.05 * rig.recorded / 60.0 + 2048.0 / 44100.0;
        const std::vector<float> mix = decode(result->filePath);
        const struct {
            QString path;
            std::vector<float> audio;
            std::vector<double> heard, unheard;
        } files[] = {{rig.sysKeep, decode(rig.sysKeep), {sysHz}, {micHz}},
                     {rig.micKeep, decode(rig.micKeep), {micHz}, {sysHz}},
                     {result->filePath, mix, {sysHz, micHz}, {}}};
        for (const auto &[path, audio, heard, unheard] : files) {
            QVERIFY2(seconds(audio) > rig.recorded - tolerance &&
                         seconds(audio) < recordedAtMost + tolerance,
                     qPrintable(QStringLiteral("%1: %2 s recorded, %3 s in the file")
                                    .arg(path)
                                    .arg(rig.recorded)
                                    .arg(seconds(audio))));
            for (const double hz : heard) {
                const QString weak = firstWeakWindow(audio, hz);
                QVERIFY2(weak.isEmpty(), qPrintable(path + QStringLiteral(": ") + weak));
            }
            for (const double hz : unheard)
                QVERIFY2(tone(audio, hz, 0.5, 5.0) < 0.01, qPrintable(path));
        }
        // Decoded, the recording is the live mix's own audio less the encoder's priming frame.
        const std::vector<float> live = decode(liveKeep);
        const size_t priming = 2 * M4aWriter::primingFrames;
        QVERIFY(live.size() >= mix.size() + priming);
        float difference = 0.0f;
        for (size_t i = 0; i < mix.size(); ++i)
            difference = std::max(difference, std::fabs(mix[i] - live[i + priming]));
        QVERIFY2(difference < 1e-5f, qPrintable(QString::number(difference)));
    }

    // With a monitor as the default input there is no microphone: the recording is the system
    // track alone, as a standard faststart file, and its part is gone.
    void withoutMicrophoneTheSystemTrackIsTheRecording() {
        RecorderRig rig({.outputs = true, .microphone = false});
        // A long buffer: a busy machine must not leave the player dry, and the track short.
        rig.server->play(SoundServer::speakers, SoundServer::tone(440, 6.0, 0.5f),
                         SoundServer::Buffer::long_);
        START_OK(rig);
        QTest::qWait(2500);
        const std::optional<RecordedAudio> result = rig.stop();
        QVERIFY(result.has_value());
        QCOMPARE(result->loss, RecordedAudio::Loss::none);
        QCOMPARE(folderEntries(), QStringList{QFileInfo(result->filePath).fileName()});
        QVERIFY(faststart(result->filePath));
        // Late enough that a slow first capture (a loaded machine) cannot reach into it.
        const double amplitude = tone(decode(result->filePath), 440, 1.2, 2.2);
        QVERIFY2(amplitude > 0.35, qPrintable(QString::number(amplitude)));
    }

    void startFailsWithItsReason_data() {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("message");
        QTest::newRow("no server") << "none" << noServerText;
        // It takes the connection and never says a word: the start gives up in time.
        QTest::newRow("a server that never answers") << "silent" << noServerText;
        QTest::newRow("a server without outputs")
            << "no outputs" << QStringLiteral("Не найдено устройство вывода звука для записи");
        // Told before the sound server is asked for anything.
        QTest::newRow("less than 200 MB free")
            << "small disk"
            << QStringLiteral("Мало места на диске: в папке %1/tolvex/recordings свободно 2 МБ, "
                              "нужно не меньше 200 МБ.");
    }

    // The start fails in time with the text that names the reason, and leaves nothing behind.
    void startFailsWithItsReason() {
        QFETCH(QString, server);
        QFETCH(QString, message);
        QTemporaryDir folder;
        std::unique_ptr<SoundServer> running;
        QLocalServer silent;
        AudioRecorder::DiskRoom room;
        if (server == "small disk") {
            room.freeBytes = [](const QString &folder) {
                return QFileInfo(folder).isDir() ? std::optional<std::int64_t>(2'900'000)
                                                 : std::nullopt;
            };
            message = message.arg(qEnvironmentVariable("XDG_DATA_HOME"));
        }
        if (server == "no outputs") {
            running = startSoundServer({.outputs = false, .microphone = false});
            VERIFY_RUNNING(*running);
        } else if (server == "silent") {
            QVERIFY(silent.listen(folder.filePath(QStringLiteral("native"))));
            SoundServer::pointAt(silent.fullServerName());
        } else {
            SoundServer::pointAt(folder.filePath(QStringLiteral("nothing")));
        }
        AudioRecorder recorder(nullptr, AudioRecorder::defaultSilenceWindow, room);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(startFailure(recorder), message);
        QVERIFY2(clock.elapsed() < 12500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!recorder.isRecording());
        QVERIFY(folderEntries().isEmpty());
    }

    // Killed mid-recording, the recorder leaves part files that play up to about the last
    // flushed second.
    void killedRecorderLeavesPlayablePartFiles() {
        const std::unique_ptr<SoundServer> server = startSoundServer();
        VERIFY_RUNNING(*server);
        // Long players: a loaded machine must not leave a gap in the tones, nor let them end
        // before a slow child has recorded its seconds.
        const auto long_ = SoundServer::Buffer::long_;
        server->play(SoundServer::speakers, SoundServer::tone(440, 12.0, 0.5f), long_);
        server->play(SoundServer::micSink, SoundServer::tone(1000, 12.0, 0.5f), long_);
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--record-until-killed"});
        QVERIFY(child.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(child.peek(4096).count('\n') >= 2, 15000);
        const QString sysPath = QString::fromUtf8(child.readLine()).trimmed();
        const QString micPath = QString::fromUtf8(child.readLine()).trimmed();
        QTest::qWait(3300);
        child.kill();
        QVERIFY(child.waitForFinished(5000));

        for (const auto &[path, hz] : {std::pair{sysPath, 440.0}, std::pair{micPath, 1000.0}}) {
            const std::vector<float> audio = decode(path);
            const double kept = seconds(audio), level = tone(audio, hz, 0.3, kept - 0.2);
            // A stream that opened late under load still leaves most of it.
            QVERIFY2(kept > 2.0 && level > 0.2,
                     qPrintable(QStringLiteral("%1 s, level %2").arg(kept).arg(level)));
        }
    }

    void fullDiskHoldsTheRecordingUp_data() {
        QTest::addColumn<std::int64_t>("waitFrames");
        QTest::addColumn<bool>("roomAgain");
        const std::int64_t second = M4aWriter::sampleRate;
        QTest::newRow("full for less than the wait")
            << AudioRecorder::DiskRoom{}.waitFrames << true;
        QTest::newRow("full beyond the wait") << second << true;
        QTest::newRow("still full at Stop") << second << false;
    }

    // The disk is full for 5 s mid-recording, then has room again. What each track kept in
    // memory meanwhile reaches its part; beyond the wait the oldest audio goes, is told, and
    // becomes silence, so both tracks keep the recording's length and stay in step. Still full
    // at the stop, each part ends where the disk filled up, and all after that is told once.
    void fullDiskHoldsTheRecordingUp() {
        QFETCH(std::int64_t, waitFrames);
        QFETCH(bool, roomAgain);
        RecorderRig rig({}, {.toStart = 0, .waitFrames = waitFrames});
        for (const auto &[sink, hz] : {std::pair{"speakers", sysHz}, std::pair{"micsink", micHz}})
            QVERIFY(rig.server->pactl({"load-module", "module-sine", QStringLiteral("sink=") + sink,
                                       "frequency=" + QString::number(hz)}));
        START_OK(rig);
        QTest::qWait(1500);
        std::optional<FullDisk> disk(std::in_place);
        QVERIFY(disk->full);
        const double fullFrom = rig.elapsed();
        QTest::qWait(5000);
        if (roomAgain) {
            disk.reset();
            QTest::qWait(2500);
        }
        const std::optional<RecordedAudio> stopped = rig.stop();
        disk.reset(); // before any file is decoded, or made by a child
        QVERIFY(stopped.has_value());
        const bool beyond = waitFrames < 5 * M4aWriter::sampleRate;
        QCOMPARE(stopped->loss, !roomAgain ? RecordedAudio::Loss::mixFailed
                                : beyond   ? RecordedAudio::Loss::trackCut
                                           : RecordedAudio::Loss::none);
        const std::chrono::milliseconds lost[] = {stopped->systemLostToFullDisk,
                                                  stopped->microphoneLostToFullDisk};
        const QString parts[] = {rig.sysKeep, rig.micKeep};
        const double hz[] = {sysHz, micHz};
        for (int track = 0; track < 2; ++track) {
            QVERIFY(beyond ? lost[track] > 500ms : lost[track] == 0ms);
            const std::vector<float> audio = decode(parts[track]);
            const double end = seconds(audio);
            if (!roomAgain) {
                // Told as what the part lacks, within 0.3 s, as below, for the start and the
                // encoder's priming: the time the disk was full, and the fragment then on its
                // way (1 s at most, and what an encoder running late still held).
                const double told = lost[track].count() / 1000.0;
                VERIFY_NEAR(told, rig.recorded - end, 0.3);
                QVERIFY2(told > rig.recorded - fullFrom - 0.3 &&
                             told < rig.recorded - fullFrom + 1.6,
                         qPrintable(QString::number(told)));
                continue;
            }
            VERIFY_NEAR(end, rig.recorded, 0.3);
            double silent = 0.0; // the gap, told as it is
            for (double t = 0.3; t < end - 0.3; t += 0.05)
                silent += tone(audio, hz[track], t, t + 0.05) < 0.1 ? 0.05 : 0.0;
            VERIFY_NEAR(silent, lost[track].count() / 1000.0, 0.25);
            for (double t = end - 2.0; t < end - 0.3; t += 0.25) // after the room came back
                QVERIFY2(tone(audio, hz[track], t, t + 0.25) > 0.3, qPrintable(parts[track]));
            if (!beyond)
                QCOMPARE(firstWeakWindow(audio, hz[track]), QString());
        }
        if (roomAgain)
            VERIFY_NEAR(seconds(decode(stopped->filePath)), rig.recorded, 0.3);
    }
};

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    if (app.arguments().contains(QStringLiteral("--record-until-killed")))
        return recordUntilKilled();
    AudioRecorderTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_audiorecorder.moc"
