// The recording session against a real PulseAudio daemon with null sinks fed with known tones.
// FFmpeg's own tools decode the files, so the program's writer is never its own judge.

#include "AudioDecoder.h"
#include "AudioFileError.h"
#include "M4aWriter.h"
#include "RecordingChecks.h"
#include "SmallDisk.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

namespace {

using namespace RecordingChecks;

const QRegularExpression uuidName(
    QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\.m4a$"));

QStringList threadNames() {
    QStringList names;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly))
            names << QString::fromUtf8(comm.readAll()).trimmed();
    }
    return names;
}

// What the folder holds while recording: both parts and, unless `live` is false, the mix made
// as they are written.
QStringList namesWhileRecording(const AudioRecorder &recorder, bool live = true) {
    const QString sys = QFileInfo(recorder.sysPath()).fileName();
    QStringList names{sys, QFileInfo(recorder.micPath()).fileName()};
    if (live)
        names << QStringLiteral("live_") + sys.mid(4);
    names.sort();
    return names;
}

// Two tones playing and a recorder whose private folder is on a small disk of its own.
struct TonesOnSmallDisk {
    PulseServer server;
    SmallDisk disk;
    AudioRecorder recorder;

    explicit TonesOnSmallDisk(const QString &diskOptions)
        : disk(diskOptions) {
        server.play(PulseServer::speakers, PulseServer::tone(440, 8.0, 0.5f));
        server.play(PulseServer::micSink, PulseServer::tone(1000, 8.0, 0.5f));
    }
    [[nodiscard]] bool ready() const { return server.isRunning() && disk.mounted(); }
};

} // namespace

class AudioRecorderTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { emptyPrivateFolder(); }

    // Both sources go to their part files and, while recording, into a mix of the recording's
    // own. The stop copies that mix's packets into the recording, which is then the one file
    // left; every file is the user's alone.
    void recordsBothSourcesAndMixesThem() {
        START_SERVER(server);
        server.play(PulseServer::speakers, PulseServer::tone(440, 6.0, 0.5f));
        server.play(PulseServer::micSink, PulseServer::tone(1000, 6.0, 0.5f));
        QTest::qWait(300);

        AudioRecorder recorder;
        QSignalSpy changes(&recorder, &AudioRecorder::isRecordingChanged);
        START_OK(recorder);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(recorder.isRecording());
        QVERIFY(threadNames().contains(QStringLiteral("tolvex.audio")));

        const QFileInfo sys(recorder.sysPath()), mic(recorder.micPath());
        const QString id = sys.fileName().mid(4);
        QCOMPARE(sys.absolutePath(), AudioFiles::privateFolder());
        QVERIFY(sys.fileName().startsWith(QStringLiteral("sys_")) && uuidName.match(id).hasMatch());
        // Every file of a recording carries its id, so they are found together after a crash.
        QCOMPARE(mic.fileName(), QStringLiteral("mic_") + id);
        QCOMPARE(folderEntries(), namesWhileRecording(recorder));
        const QString live = AudioFiles::privateFolder() + QStringLiteral("/live_") + id;
        for (const QString &path : {sys.filePath(), mic.filePath(), live})
            QCOMPARE(modeOf(path), 0600u);
        QCOMPARE(modeOf(AudioFiles::privateFolder()), 0700u);
        // Outside the private folder, on the same file system (TMPDIR), so the folder can be
        // counted after the stop.
        QTemporaryDir elsewhere;
        const QString sysKeep = keep(sys.filePath(), elsewhere.path()),
                      micKeep = keep(mic.filePath(), elsewhere.path()),
                      liveKeep = keep(live, elsewhere.path());

        QTest::qWait(3000);
        const double recorded = secondsOf(clock);
        const std::optional<RecordedAudio> result = QCoro::waitFor(recorder.stopRecording());
        QVERIFY(!recorder.isRecording());
        QCOMPARE(changes.count(), 2);
        QCOMPARE(changes.at(0).at(0).toBool() && !changes.at(1).at(0).toBool(), true);
        QVERIFY(!threadNames().contains(QStringLiteral("tolvex.audio")));
        QVERIFY(!threadNames().contains(QStringLiteral("tolvex.encode")));

        QVERIFY(result.has_value());
        QCOMPARE(result->loss, RecordedAudio::Loss::none);
        QVERIFY(result->partFiles.isEmpty());
        QCOMPARE(result->filePath, AudioFiles::privateFolder() + QLatin1Char('/') + id);
        QCOMPARE(folderEntries(), QStringList{id});
        VERIFY_FASTSTART(result->filePath);

        QCOMPARE(AudioProbe::format(sysKeep), QStringLiteral("aac LC 44100 Hz 2 ch"));
        QCOMPARE(AudioProbe::format(micKeep), QStringLiteral("aac LC 44100 Hz 2 ch"));
        const std::vector<float> sysAudio = AudioProbe::decode(sysKeep);
        const std::vector<float> micAudio = AudioProbe::decode(micKeep);
        VERIFY_LENGTH(sysAudio, recorded, 0.1);
        VERIFY_LENGTH(micAudio, recorded, 0.1);
        QVERIFY(tone(sysAudio, 440, 0.5, 1.5) > 0.2 && tone(sysAudio, 1000, 0.5, 1.5) < 0.02);
        QVERIFY(tone(micAudio, 1000, 0.5, 1.5) > 0.2 && tone(micAudio, 440, 0.5, 1.5) < 0.02);

        // Both sources are heard from the recording's first second.
        const std::vector<float> mix = AudioProbe::decode(result->filePath);
        VERIFY_LENGTH(mix, recorded, 0.1);
        for (const double hz : {440.0, 1000.0})
            QVERIFY(tone(mix, hz, 0.1, 1.0) > 0.15 && tone(mix, hz, 0.5, 2.5) > 0.15);
        // Not mixed again from the parts: decoded, the recording is the live mix's own audio,
        // less the encoder's priming frame at its start.
        const std::vector<float> liveAudio = AudioProbe::decode(liveKeep);
        const size_t priming = 2 * M4aWriter::primingFrames;
        QVERIFY2(liveAudio.size() >= mix.size() + priming,
                 qPrintable(QStringLiteral("%1 %2").arg(liveAudio.size()).arg(mix.size())));
        float difference = 0.0f;
        for (size_t i = 0; i < mix.size(); ++i)
            difference = std::max(difference, std::fabs(mix[i] - liveAudio[i + priming]));
        QVERIFY2(difference < 1e-5f, qPrintable(QString::number(difference)));
    }

    // The live mix's file cannot even be made (the disk is out of inodes): the recording goes
    // on without it, and the stop mixes the parts into a complete recording.
    void recordingWithoutItsLiveMixIsMixedFromTheParts() {
        SKIP_WITHOUT_SMALL_DISK();
        // Room for the folders and the two part files only.
        TonesOnSmallDisk setup(QStringLiteral("size=4m,nr_inodes=5"));
        QVERIFY2(setup.ready(), qPrintable(setup.server.error()));
        AudioRecorder &recorder = setup.recorder;
        START_OK(recorder);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(folderEntries(), namesWhileRecording(recorder, false));
        // Room for the mixed file again.
        QVERIFY(setup.disk.remount(QStringLiteral("nr_inodes=100")));

        QTest::qWait(2500);
        const double recorded = secondsOf(clock);
        const std::optional<RecordedAudio> result = QCoro::waitFor(recorder.stopRecording());
        QVERIFY(result.has_value());
        QCOMPARE(result->loss, RecordedAudio::Loss::none);
        QVERIFY(result->partFiles.isEmpty());
        QCOMPARE(folderEntries(), QStringList{QFileInfo(result->filePath).fileName()});
        const std::vector<float> mix = AudioProbe::decode(result->filePath);
        VERIFY_LENGTH(mix, recorded, 0.1);
        QVERIFY(tone(mix, 440, 0.5, 2.0) > 0.15);
        QVERIFY(tone(mix, 1000, 0.5, 2.0) > 0.15);
    }

    // Calls that overlap a start or a stop under way, or that find nothing to do. Under
    // AddressSanitizer these also show that no call reaches into a capture or encoder that
    // another one replaced.
    void extraStartsMakeOneRecording() {
        START_SERVER(server);
        AudioRecorder recorder;
        QSignalSpy changes(&recorder, &AudioRecorder::isRecordingChanged);
        QVERIFY(!QCoro::waitFor(recorder.stopRecording()).has_value());
        QCOMPARE(changes.count(), 0);
        QVERIFY(folderEntries().isEmpty());

        QCoro::Task<> first = recorder.startRecording(AudioFiles::newRecordingId());
        QCoro::Task<> second = recorder.startRecording(AudioFiles::newRecordingId());
        QVERIFY(runTask(std::move(first)).succeeded());
        QVERIFY(runTask(std::move(second)).succeeded());
        QCOMPARE(recorder.state(), AudioRecorder::State::recording);
        const QString sysPath = recorder.sysPath(), micPath = recorder.micPath();
        QCOMPARE(folderEntries(), namesWhileRecording(recorder));
        // And one more while it records.
        START_OK(recorder);
        QCOMPARE(recorder.sysPath(), sysPath);
        QCOMPARE(recorder.micPath(), micPath);
        QCOMPARE(folderEntries(), namesWhileRecording(recorder));
        QCOMPARE(changes.count(), 1);

        const std::optional<RecordedAudio> result = QCoro::waitFor(recorder.stopRecording());
        QVERIFY(result.has_value());
        QCOMPARE(folderEntries(), QStringList{QFileInfo(result->filePath).fileName()});
    }

    void stopDuringStartStopsWhatItStarted() {
        START_SERVER(server);
        AudioRecorder recorder;
        QCoro::Task<> start = recorder.startRecording(AudioFiles::newRecordingId());
        QCoro::Task<std::optional<RecordedAudio>> stop = recorder.stopRecording();
        QCOMPARE(recorder.state(), AudioRecorder::State::starting);

        QVERIFY(runTask(std::move(start)).succeeded());
        const TaskOutcome<std::optional<RecordedAudio>> stopped = runTask(std::move(stop));
        QVERIFY(stopped.succeeded() && stopped.value->has_value());
        QCOMPARE(recorder.state(), AudioRecorder::State::idle);
        const QString file = (*stopped.value)->filePath;
        QCOMPARE(folderEntries(), QStringList{QFileInfo(file).fileName()});
        QCOMPARE((*stopped.value)->loss, RecordedAudio::Loss::none);
        // The stop may come before the first sample: the file is then finished but empty.
        try {
            AudioDecoder finished(file);
        } catch (const AudioDecoder::Error &error) {
            QFAIL(error.what());
        }
    }

    void stopUnderWayHandsTheRecordingOver_data() {
        QTest::addColumn<bool>("destroy"); // else a second stop
        QTest::newRow("a second stop gets nothing") << false;
        QTest::newRow("the recorder is destroyed") << true;
    }

    // Whatever comes while a stop is under way, that stop hands the whole recording over.
    void stopUnderWayHandsTheRecordingOver() {
        QFETCH(bool, destroy);
        START_SERVER(server);
        server.play(PulseServer::speakers, PulseServer::tone(440, 3.0, 0.5f));
        auto recorder = std::make_unique<AudioRecorder>();
        START_OK(*recorder);
        QTest::qWait(1500);

        QCoro::Task<std::optional<RecordedAudio>> first = recorder->stopRecording();
        if (destroy)
            recorder.reset();
        else
            QVERIFY(!QCoro::waitFor(recorder->stopRecording()).has_value());
        const std::optional<RecordedAudio> result = QCoro::waitFor(std::move(first));
        QVERIFY(result.has_value());
        QCOMPARE(result->loss, RecordedAudio::Loss::none);
        QCOMPARE(folderEntries(), QStringList{QFileInfo(result->filePath).fileName()});
        QVERIFY(tone(AudioProbe::decode(result->filePath), 440, 0.5, 1.2) > 0.15);
    }

    void startDuringStopRecordsAfterIt() {
        START_SERVER(server);
        AudioRecorder recorder;
        START_OK(recorder);
        QTest::qWait(500);

        QCoro::Task<std::optional<RecordedAudio>> stop = recorder.stopRecording();
        QCoro::Task<> start = recorder.startRecording(AudioFiles::newRecordingId());
        const std::optional<RecordedAudio> stopped = QCoro::waitFor(std::move(stop));
        QVERIFY(stopped.has_value());
        QVERIFY(runTask(std::move(start)).succeeded());
        QCOMPARE(recorder.state(), AudioRecorder::State::recording);
        // The first recording's file and the new recording's two parts and live mix.
        QCOMPARE(folderEntries(), (QStringList{QFileInfo(stopped->filePath).fileName()} +
                                   namesWhileRecording(recorder)));
        QVERIFY(QFile::exists(stopped->filePath) && QFile::exists(recorder.sysPath()));
        QVERIFY(QCoro::waitFor(recorder.stopRecording()).has_value());
    }

    // The recorder goes away at different moments of a start; whatever moment it is, the start
    // ends, touches nothing freed and leaves no file behind.
    void destroyedWhileStartingLeavesNothing() {
        START_SERVER(server);
        int destroyedWhileStarting = 0;
        for (const int waitMs : {0, 1, 2, 3, 5, 8, 12, 20, 30, 50}) {
            auto recorder = std::make_unique<AudioRecorder>();
            QCoro::Task<> start = recorder->startRecording(AudioFiles::newRecordingId());
            if (waitMs > 0)
                QTest::qWait(waitMs);
            const bool starting = recorder->state() == AudioRecorder::State::starting;
            recorder.reset();
            runTask(std::move(start));
            if (!starting) {
                cleanup(); // it had started: its parts are a kept recording
                continue;
            }
            ++destroyedWhileStarting;
            // The capture may still be closing on its own thread.
            QTRY_COMPARE_WITH_TIMEOUT(folderEntries(), QStringList(), 3000);
        }
        QVERIFY(destroyedWhileStarting > 0);
    }

    void noServerGivesNoPermission() {
        QTemporaryDir nowhere;
        PulseServer::pointAtNothing(nowhere.path());
        AudioRecorder recorder;
        QSignalSpy changes(&recorder, &AudioRecorder::isRecordingChanged);
        QCOMPARE(startFailure(recorder), noServerText);
        QVERIFY(!recorder.isRecording());
        QCOMPARE(changes.count(), 0);
        QVERIFY(folderEntries().isEmpty());
    }

    void noOutputGivesNoDisplay() {
        START_SERVER(server, {.outputs = false, .microphone = false});
        AudioRecorder recorder;
        QCOMPARE(startFailure(recorder),
                 QStringLiteral("Не найдено устройство вывода звука для записи"));
        QVERIFY(!recorder.isRecording());
        QVERIFY(folderEntries().isEmpty());
    }

    // A start that fails after making its files removes them, and the next start makes new
    // ones rather than reusing the failed start's names.
    void newStartAfterFailedStartUsesNewNames() {
        SKIP_WITHOUT_SMALL_DISK();
        // Room for the folder and one part file only: the microphone's file cannot be made.
        TonesOnSmallDisk setup(QStringLiteral("size=4m,nr_inodes=4"));
        QVERIFY2(setup.ready(), qPrintable(setup.server.error()));
        AudioRecorder &recorder = setup.recorder;
        const TaskOutcome<void> failed =
            runTask(recorder.startRecording(AudioFiles::newRecordingId()));
        QVERIFY(failed.errorAs<AudioFileError>().has_value());
        QVERIFY(!recorder.isRecording());
        const QString failedSys = recorder.sysPath(), failedMic = recorder.micPath();
        QVERIFY(!failedSys.isEmpty() && !failedMic.isEmpty());
        QCOMPARE(folderEntries(), QStringList());

        QVERIFY(setup.disk.remount(QStringLiteral("nr_inodes=100")));
        START_OK(recorder);
        QVERIFY(recorder.sysPath() != failedSys);
        QVERIFY(recorder.micPath() != failedMic);
        QCOMPARE(folderEntries(), namesWhileRecording(recorder));
        QVERIFY(QCoro::waitFor(recorder.stopRecording()).has_value());
    }

    // The disk fills up mid-recording: both tracks stop there and the mix cannot be written.
    // Nothing is lost: the parts are handed over, and once there is room again they mix into
    // a file that is known to lack the recording's end.
    void fullDiskKeepsThePartsUntilTheyCanBeMixed() {
        SKIP_WITHOUT_SMALL_DISK();
        TonesOnSmallDisk setup(QStringLiteral("size=2m"));
        QVERIFY2(setup.ready(), qPrintable(setup.server.error()));
        AudioRecorder &recorder = setup.recorder;
        START_OK(recorder);
        // About two seconds of both tracks fit.
        QVERIFY(setup.disk.fill(64 * 1024));
        QTest::qWait(4000);

        const std::optional<RecordedAudio> stopped = QCoro::waitFor(recorder.stopRecording());
        QVERIFY(stopped.has_value());
        QCOMPARE(stopped->loss, RecordedAudio::Loss::mixFailed);
        QVERIFY(stopped->filePath.isEmpty());
        QCOMPARE(stopped->partFiles, (QStringList{recorder.sysPath(), recorder.micPath()}));
        QCOMPARE(folderEntries(), namesWhileRecording(recorder, false));

        QVERIFY(setup.disk.removeFiller());
        const RecordedAudio mixed = QCoro::waitFor(recorder.mixParts(stopped->partFiles));
        QCOMPARE(mixed.loss, RecordedAudio::Loss::trackCut);
        QVERIFY(mixed.partFiles.isEmpty());
        QCOMPARE(folderEntries(), QStringList{QFileInfo(mixed.filePath).fileName()});
        const std::vector<float> audio = AudioProbe::decode(mixed.filePath);
        QVERIFY2(seconds(audio) > 0.5, qPrintable(QString::number(seconds(audio))));
        QVERIFY(tone(audio, 440, 0.1, 0.5) > 0.15);
        QVERIFY(tone(audio, 1000, 0.1, 0.5) > 0.15);
    }

    // With a monitor as the default input there is no microphone: the recording is the system
    // track alone, as a standard faststart file, and its part is gone.
    void withoutMicrophoneTheSystemTrackIsTheRecording() {
        START_SERVER(server, {.outputs = true, .microphone = false});
        server.play(PulseServer::speakers, PulseServer::tone(440, 6.0, 0.5f));
        AudioRecorder recorder;
        START_OK(recorder);
        QTest::qWait(2500);
        const std::optional<RecordedAudio> result = QCoro::waitFor(recorder.stopRecording());
        QVERIFY(result.has_value());
        QCOMPARE(result->loss, RecordedAudio::Loss::none);
        QCOMPARE(folderEntries(), QStringList{QFileInfo(result->filePath).fileName()});
        VERIFY_FASTSTART(result->filePath);
        // Late enough that a slow first capture (a loaded machine) cannot reach into it.
        const double amplitude = tone(AudioProbe::decode(result->filePath), 440, 1.2, 2.2);
        QVERIFY2(amplitude > 0.35, qPrintable(QString::number(amplitude)));
    }

    // The microphone appears a second into the recording. It hears the output itself, so one
    // sound reaches both sources at the same instant and must sit at the same time in both
    // part files.
    void laterSourceGetsLeadingSilence() {
        START_SERVER(server, {.outputs = true, .microphone = false});
        QVERIFY(server.pactl(
            {"load-module", "module-remap-source", "source_name=echo", "master=speakers.monitor"}));

        AudioRecorder recorder;
        START_OK(recorder);
        const QString sysKeep = keep(recorder.sysPath());
        QVERIFY(!QFile::exists(recorder.micPath()));
        QTest::qWait(1000);
        QVERIFY(server.pactl({"set-default-source", "echo"}));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(recorder.micPath()), 2000);
        const QString micKeep = keep(recorder.micPath());
        QTest::qWait(300);
        server.play(PulseServer::speakers, PulseServer::tone(1000, 0.5, 0.5f));
        QTest::qWait(1200);
        QVERIFY(QCoro::waitFor(recorder.stopRecording()).has_value());

        const std::vector<float> sysAudio = AudioProbe::decode(sysKeep);
        const std::vector<float> micAudio = AudioProbe::decode(micKeep);
        QVERIFY(std::abs(seconds(sysAudio) - seconds(micAudio)) < 0.05);
        QVERIFY(tone(micAudio, 1000, 0.0, 0.9) < 0.01);
        const double sysOnset = onsetOf(sysAudio, 1000), micOnset = onsetOf(micAudio, 1000);
        QVERIFY2(sysOnset > 1.2 && micOnset > 1.2 && std::abs(sysOnset - micOnset) <= 0.05,
                 qPrintable(QStringLiteral("onsets %1 s, %2 s").arg(sysOnset).arg(micOnset)));
    }

    // A suspended output delivers nothing for a second; that second is silence in the file,
    // and what follows stays at its true time.
    void holeBecomesSilence() {
        START_SERVER(server);
        server.play(PulseServer::speakers, PulseServer::tone(440, 6.0, 0.5f));
        QTest::qWait(200);
        AudioRecorder recorder;
        START_OK(recorder);
        QElapsedTimer clock;
        clock.start();
        const QString sysKeep = keep(recorder.sysPath());
        QTest::qWait(1000);
        const double holeStart = secondsOf(clock);
        QVERIFY(server.pactl({"suspend-sink", "speakers", "1"}));
        QTest::qWait(1000);
        QVERIFY(server.pactl({"suspend-sink", "speakers", "0"}));
        const double holeEnd = secondsOf(clock);
        QTest::qWait(1000);
        const double recorded = secondsOf(clock);
        QVERIFY(QCoro::waitFor(recorder.stopRecording()).has_value());

        const std::vector<float> audio = AudioProbe::decode(sysKeep);
        VERIFY_LENGTH(audio, recorded, 0.1);
        QVERIFY(tone(audio, 440, 0.2, holeStart - 0.2) > 0.2);
        QVERIFY(tone(audio, 440, holeStart + 0.2, holeEnd - 0.2) < 0.01);
        QVERIFY(tone(audio, 440, holeEnd + 0.3, recorded - 0.2) > 0.2);
    }

    // The GUI thread hangs for 1.5 s mid-recording; capture and encoding do not need it, so
    // the tone runs on without a gap.
    void busyGuiLosesNoSample() {
        START_SERVER(server);
        server.play(PulseServer::speakers, PulseServer::tone(440, 10.0, 0.5f),
                    PulseServer::Buffer::long_);
        QTest::qWait(200);
        AudioRecorder recorder;
        START_OK(recorder);
        QElapsedTimer clock;
        clock.start();
        const QString sysKeep = keep(recorder.sysPath());
        QTest::qWait(500);
        QThread::msleep(1500);
        QTest::qWait(500);
        const double recorded = secondsOf(clock);
        QVERIFY(QCoro::waitFor(recorder.stopRecording()).has_value());

        const std::vector<float> audio = AudioProbe::decode(sysKeep);
        VERIFY_LENGTH(audio, recorded, 0.1);
        for (double t = 0.1; t + 0.1 < recorded - 0.1; t += 0.1) {
            const double amplitude = tone(audio, 440, t, t + 0.1);
            QVERIFY2(amplitude > 0.35,
                     qPrintable(QStringLiteral("%1 at %2 s").arg(amplitude).arg(t)));
        }
    }

    void followsTheNewDefaultOutput() {
        START_SERVER(server);
        QVERIFY(server.pactl({"load-module", "module-null-sink", "sink_name=headphones"}));
        server.keepBusy(QStringLiteral("headphones"));
        PulseServer::settle();
        server.play(PulseServer::speakers, PulseServer::tone(440, 12.0, 0.5f),
                    PulseServer::Buffer::long_);
        QTest::qWait(400);
        AudioRecorder recorder;
        START_OK(recorder);
        QElapsedTimer clock;
        clock.start();
        const QString sysKeep = keep(recorder.sysPath());
        QTRY_COMPARE_WITH_TIMEOUT(server.recordingSources().contains("speakers.monitor"), true,
                                  2000);
        QTest::qWait(1000);

        // A headset connects and becomes the default output.
        QVERIFY(server.pactl({"set-default-sink", "headphones"}));
        const double switched = secondsOf(clock);
        server.play(QStringLiteral("headphones"), PulseServer::tone(1000, 8.0, 0.5f));
        QTRY_VERIFY_WITH_TIMEOUT(server.recordingSources().contains("headphones.monitor"), 1000);
        QVERIFY(!server.recordingSources().contains("speakers.monitor"));
        QTest::qWait(2500);
        const double recorded = secondsOf(clock);
        QVERIFY(QCoro::waitFor(recorder.stopRecording()).has_value());

        const std::vector<float> audio = AudioProbe::decode(sysKeep);
        VERIFY_LENGTH(audio, recorded, 0.1);
        QVERIFY(tone(audio, 440, 0.2, switched - 0.2) > 0.2);
        // Only the new output carries 1000 Hz. The 440 Hz player follows the default output
        // too, as a meeting's own sound does, and stays audible throughout.
        QVERIFY(tone(audio, 1000, switched + 1.0, recorded - 0.2) > 0.2);
        QVERIFY(tone(audio, 440, switched + 1.0, recorded - 0.2) > 0.2);
    }

    void survivesTheServerGoingAway() {
        START_SERVER(server);
        server.play(PulseServer::speakers, PulseServer::tone(440, 4.0, 0.5f));
        QTest::qWait(200);
        AudioRecorder recorder;
        START_OK(recorder);
        QElapsedTimer clock;
        clock.start();
        QTest::qWait(1500);
        server.kill();
        QTest::qWait(1000);
        const double recorded = secondsOf(clock);
        const std::optional<RecordedAudio> result = QCoro::waitFor(recorder.stopRecording());
        QVERIFY(result.has_value());
        QVERIFY(!recorder.isRecording());
        const std::vector<float> audio = AudioProbe::decode(result->filePath);
        VERIFY_LENGTH(audio, recorded, 0.15);
        QVERIFY(tone(audio, 440, 0.2, 1.3) > 0.15);
    }

    void killedRecorderLeavesPlayablePartFiles() {
        START_SERVER(server);
        // Long players: a loaded machine must not leave a gap in the tones, nor let them end
        // before a slow child has recorded its seconds.
        server.play(PulseServer::speakers, PulseServer::tone(440, 12.0, 0.5f),
                    PulseServer::Buffer::long_);
        server.play(PulseServer::micSink, PulseServer::tone(1000, 12.0, 0.5f),
                    PulseServer::Buffer::long_);
        QProcess child;
        child.start(
            QCoreApplication::applicationDirPath() + QStringLiteral("/capture_recorder_child"), {});
        QVERIFY(child.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(child.peek(4096).count('\n') >= 2, 15000);
        const QString sysPath = QString::fromUtf8(child.readLine()).trimmed();
        const QString micPath = QString::fromUtf8(child.readLine()).trimmed();
        QTest::qWait(3300);
        child.kill();
        QVERIFY(child.waitForFinished(5000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        const std::vector<float> sysAudio = AudioProbe::decode(sysPath);
        const std::vector<float> micAudio = AudioProbe::decode(micPath);
        // Playable up to about the last flushed second.
        QVERIFY2(seconds(sysAudio) > 2.0, qPrintable(QString::number(seconds(sysAudio))));
        QVERIFY2(seconds(micAudio) > 2.0, qPrintable(QString::number(seconds(micAudio))));
        // The tones sound through what was kept; a stream that opened late under load still
        // leaves most of it.
        QVERIFY2(tone(sysAudio, 440, 0.3, seconds(sysAudio) - 0.2) > 0.2,
                 qPrintable(QString::number(tone(sysAudio, 440, 0.3, seconds(sysAudio) - 0.2))));
        QVERIFY2(tone(micAudio, 1000, 0.3, seconds(micAudio) - 0.2) > 0.2,
                 qPrintable(QString::number(tone(micAudio, 1000, 0.3, seconds(micAudio) - 0.2))));
    }
};

QTEST_GUILESS_MAIN(AudioRecorderTest)
#include "tst_audiorecorder.moc"
