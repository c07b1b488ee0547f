// The mixdown and the file writer underneath it, judged by FFmpeg's own tools.

#include "AudioFileError.h"
#include "M4aWriter.h"
#include "PeakLimiter.h"
#include "RecordingChecks.h"
#include "SmallDisk.h"
#include "TrackMixdown.h"

#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/stat.h>
#include <unistd.h>

using namespace AudioProbe;
using namespace RecordingChecks;

namespace {

std::int64_t framesOf(double seconds) {
    return static_cast<std::int64_t>(seconds * 44100);
}

// A part file of the track, a sine of its own frequency and length, as the recorder hands it.
PartTrack part(CaptureTrack track, double hz, double seconds, float amplitude = 0.3f) {
    const QString path = AudioFiles::newFilePath(track == CaptureTrack::system ? "sys_" : "mic_");
    writeTone(path, hz, seconds, amplitude);
    return {path, track, framesOf(seconds), false};
}

// A system and a microphone part file.
std::vector<PartTrack> partFiles(double sysHz, double sysSeconds, double micHz, double micSeconds,
                                 float amplitude) {
    return {part(CaptureTrack::system, sysHz, sysSeconds, amplitude),
            part(CaptureTrack::microphone, micHz, micSeconds, amplitude)};
}

RecordedAudio mix(const std::vector<PartTrack> &parts) {
    return QCoro::waitFor(mergeTracks(parts));
}

QByteArray contentsOf(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QCoro::Task<> mixUntilDone(std::vector<PartTrack> parts, QEventLoop *loop, bool *done) {
    co_await mergeTracks(std::move(parts));
    *done = true;
    loop->quit();
}

// Whether a mix of `parts` ends within 5 s.
bool mixEnds(std::vector<PartTrack> parts) {
    QEventLoop loop;
    bool done = false;
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    mixUntilDone(std::move(parts), &loop, &done);
    if (!done)
        loop.exec();
    return done;
}

} // namespace

class TestTrackMixdown : public QObject {
    Q_OBJECT

private slots:
    void init() { emptyPrivateFolder(); }

    void writerMakesAacLcStereoAtTheAgreedRate() {
        const QString path = AudioFiles::newFilePath("sys_");
        writeTone(path, 440, 2.0, 0.5f);

        QCOMPARE(format(path), QStringLiteral("aac LC 44100 Hz 2 ch"));
        const int bitRate = audioStream(path)["bit_rate"].toString().toInt();
        QVERIFY2(bitRate > 100000 && bitRate < 150000, qPrintable(QString::number(bitRate)));
        const std::vector<float> samples = decode(path);
        // A fragmented file carries no edit list, so its decoded length also holds the encoder's
        // priming frame and the padding of the last frame: at most two AAC frames more.
        QVERIFY(seconds(samples) >= 2.0 - 0.001 && seconds(samples) <= 2.0 + 2 * 1024 / 44100.0);
        QVERIFY(toneAmplitude(samples, 0, 440, 0.1, 1.9) > 0.4);
    }

    // Each source at its own level from the start, and for its own length.
    void mixHoldsBothSourcesEachForItsLength() {
        const RecordedAudio mixed = mix(partFiles(440, 1.5, 1000, 4.0, 0.3f));

        QCOMPARE(mixed.loss, RecordedAudio::Loss::none);
        QVERIFY(mixed.partFiles.isEmpty());
        QCOMPARE(QFileInfo(mixed.filePath).permissions() & 0x0077, QFileDevice::Permissions());
        VERIFY_FASTSTART(mixed.filePath);
        QCOMPARE(format(mixed.filePath), QStringLiteral("aac LC 44100 Hz 2 ch"));

        const std::vector<float> samples = decode(mixed.filePath);
        QVERIFY(qAbs(seconds(samples) - 4.0) < 0.03);
        for (int channel = 0; channel < 2; ++channel) {
            // Unity gain: each source keeps its level instead of being halved.
            QVERIFY(toneAmplitude(samples, channel, 440, 0.05, 1.3) > 0.25);
            QVERIFY(toneAmplitude(samples, channel, 1000, 0.05, 1.3) > 0.25);
        }
        QVERIFY(toneAmplitude(samples, 0, 440, 2.0, 4.0) < 0.01);
        QVERIFY(toneAmplitude(samples, 0, 1000, 2.0, 3.9) > 0.25);
        // The mixed file holds both parts' audio, so they are gone.
        QCOMPARE(folderEntries(), QStringList{QFileInfo(mixed.filePath).fileName()});
    }

    // Without a microphone the one part becomes the recording: a standard faststart file of
    // its own packets, exactly as long as the track, neither priming nor padding left in.
    void singlePartBecomesAFaststartFileOfItsLength() {
        const PartTrack sys = part(CaptureTrack::system, 440, 1.7);

        const RecordedAudio single = mix({sys});

        QCOMPARE(single.loss, RecordedAudio::Loss::none);
        QVERIFY(single.partFiles.isEmpty());
        QVERIFY(!QFile::exists(sys.path));
        VERIFY_FASTSTART(single.filePath);
        QCOMPARE(format(single.filePath), QStringLiteral("aac LC 44100 Hz 2 ch"));
        // The index says exactly the track's length: what FFmpeg's decoder still hands out of
        // the last frame beyond it is marked as padding.
        const QJsonObject stream = audioStream(single.filePath);
        QCOMPARE(stream["duration_ts"].toInteger(), *sys.frames);
        QCOMPARE(stream["start_time"].toString(), QStringLiteral("0.000000"));
        const std::vector<float> samples = decode(single.filePath);
        const auto frames = static_cast<std::int64_t>(samples.size() / 2);
        QVERIFY2(frames >= *sys.frames && frames < *sys.frames + 1024,
                 qPrintable(QString::number(frames)));
        // The tone is there from the first frame: no priming ramp in front of it.
        QVERIFY(toneAmplitude(samples, 0, 440, 0.0, 0.02) > 0.25);
        QVERIFY(toneAmplitude(samples, 0, 440, 1.65, 1.7) > 0.25);
    }

    void unreadablePartIsLeftOutAndKept_data() {
        QTest::addColumn<bool>("systemBroken"); // else the microphone file is
        QTest::addColumn<QString>("how");
        QTest::newRow("microphone file not audio") << false << "garbage";
        QTest::newRow("microphone file without audio stream") << false << "video";
        QTest::newRow("system file without audio stream") << true << "video";
    }

    void unreadablePartIsLeftOutAndKept() {
        QFETCH(bool, systemBroken);
        QFETCH(QString, how);
        const std::vector<PartTrack> parts = partFiles(440, 1.0, 1000, 1.0, 0.3f);
        const PartTrack &broken = parts[systemBroken ? 0 : 1];
        const PartTrack &intact = parts[systemBroken ? 1 : 0];
        QFile::remove(broken.path);
        if (how == "garbage") {
            QFile file(broken.path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(5000, 'x'));
        } else {
            QProcess ffmpeg;
            ffmpeg.start("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "color=c=black:s=16x16:d=1",
                                    "-c:v", "mpeg4", "-f", "mp4", "-y", broken.path});
            QVERIFY(ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0);
        }
        const qint64 brokenSize = QFileInfo(broken.path).size();

        const RecordedAudio result = mix(parts);

        QCOMPARE(result.loss, RecordedAudio::Loss::trackCut);
        QCOMPARE(result.affectedTrack, std::optional<CaptureTrack>(broken.track));
        QCOMPARE(result.partFiles, QStringList{broken.path});
        QCOMPARE(QFileInfo(broken.path).size(), brokenSize);
        QVERIFY(!QFile::exists(intact.path));
        VERIFY_FASTSTART(result.filePath);
        const double hz = systemBroken ? 1000 : 440;
        QVERIFY(toneAmplitude(decode(result.filePath), 0, hz, 0.1, 0.9) > 0.25);
    }

    void unwritableFolderKeepsThePartsForAnotherMix_data() {
        QTest::addColumn<bool>("full"); // else read-only
        QTest::newRow("disk full") << true;
        QTest::newRow("read-only") << false;
    }

    // The mixed file cannot be written: nothing half-written stays, both parts stay as they
    // were, and mixing them again succeeds once the disk has room.
    void unwritableFolderKeepsThePartsForAnotherMix() {
        QFETCH(bool, full);
        SKIP_WITHOUT_SMALL_DISK();
        SmallDisk disk(QStringLiteral("size=1m"));
        QVERIFY(disk.mounted());
        const std::vector<PartTrack> parts = partFiles(440, 3.0, 1000, 3.0, 0.3f);
        const QByteArray sysBytes = contentsOf(parts[0].path), micBytes = contentsOf(parts[1].path);
        const QStringList partNames = folderEntries();
        // Room for the file's start, not for three seconds of audio.
        QVERIFY(full ? disk.fill(16 * 1024) : disk.remount(QStringLiteral("ro")));

        const RecordedAudio failed = mix(parts);

        QCOMPARE(failed.loss, RecordedAudio::Loss::mixFailed);
        QVERIFY(failed.filePath.isEmpty());
        QCOMPARE(failed.partFiles, (QStringList{parts[0].path, parts[1].path}));
        QCOMPARE(folderEntries(), partNames);
        QCOMPARE(contentsOf(parts[0].path), sysBytes);
        QCOMPARE(contentsOf(parts[1].path), micBytes);

        QVERIFY(full ? disk.removeFiller() : disk.remount(QStringLiteral("rw")));
        const RecordedAudio again = mix(parts);
        QCOMPARE(again.loss, RecordedAudio::Loss::none);
        QCOMPARE(folderEntries(), QStringList{QFileInfo(again.filePath).fileName()});
        const std::vector<float> samples = decode(again.filePath);
        QVERIFY(toneAmplitude(samples, 0, 440, 0.1, 2.9) > 0.25);
        QVERIFY(toneAmplitude(samples, 0, 1000, 0.1, 2.9) > 0.25);
    }

    // A mix that fails at once (nothing to read) still ends the wait for it, every time.
    void instantFailureNeverHangsTheAwait() {
        const std::vector<PartTrack> missing{
            {AudioFiles::privateFolder() + "/sys_missing.m4a", CaptureTrack::system, {}, false}};
        // The end can slip through a window of microseconds, so the test tries for a while.
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; clock.elapsed() < 5000; ++i)
            QVERIFY2(mixEnds(missing), qPrintable(QStringLiteral("mix %1 never ended").arg(i)));
    }

    void plantedFolderIsRefused_data() {
        QTest::addColumn<QString>("planted");
        QTest::newRow("symlink to a readable folder") << "symlink";
        QTest::newRow("plain file") << "file";
        QTest::newRow("folder of another user") << "foreign";
    }

    // A link, a file or another user's folder at the folder's name (left by another program,
    // a restored backup or another account) must not receive meeting audio; the user is told
    // which folder to move away.
    void plantedFolderIsRefused() {
        QFETCH(QString, planted);
        if (planted == "foreign" && ::geteuid() != 0)
            QSKIP("only root can give a folder to another user");
        QTemporaryDir otherData, elsewhere;
        const QByteArray savedDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(otherData.path()));
        QVERIFY(QDir(otherData.path()).mkdir(QStringLiteral("tolvex")));
        const QString folder = otherData.path() + QStringLiteral("/tolvex/recordings");
        if (planted == "symlink") {
            QVERIFY(QFile::link(elsewhere.path(), folder));
        } else if (planted == "file") {
            QVERIFY(QFile(folder).open(QIODevice::WriteOnly));
        } else {
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0700) == 0);
            QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);
        }

        QString message;
        try {
            AudioFiles::newFilePath("sys_");
        } catch (const AudioFileError &error) {
            message = error.localizedDescription();
        }
        qputenv("XDG_DATA_HOME", savedDataHome);

        QVERIFY2(message.startsWith(QStringLiteral("Папка для записей ") + folder),
                 qPrintable(message));
        QVERIFY(QDir(elsewhere.path()).isEmpty());
        if (planted == "foreign")
            QVERIFY(QDir(folder).isEmpty());
    }

    // A link planted at the name a file is about to get must not send audio to, or truncate,
    // the file it points to.
    void plantedLinkAtTheFileNameIsNotFollowed() {
        QTemporaryDir elsewhere;
        const QString victim = elsewhere.filePath(QStringLiteral("victim"));
        QFile original(victim);
        QVERIFY(original.open(QIODevice::WriteOnly) && original.write("original") == 8);
        original.close();
        const QString path = AudioFiles::newFilePath("sys_");
        QVERIFY(QFile::link(victim, path));

        bool refused = false;
        try {
            M4aWriter writer(path, M4aWriter::Layout::fragmented);
        } catch (const AudioFileError &) {
            refused = true;
        }

        QVERIFY(refused);
        QVERIFY(original.open(QIODevice::ReadOnly));
        QCOMPARE(original.readAll(), QByteArray("original"));
    }

    void limiterHoldsPeaksAndRecovers() {
        PeakLimiter limiter(44100);
        std::vector<float> burst(2 * 4410, 1.8f);
        burst[1] = -3.0f; // one channel louder: both are turned down together
        limiter.process(burst);
        for (float v : burst)
            QVERIFY2(std::fabs(v) <= PeakLimiter::ceiling + 1e-6f, qPrintable(QString::number(v)));
        QVERIFY(burst[0] < 0.7f); // linked to the right channel's peak

        // A second later a quiet signal is back at unity gain.
        std::vector<float> quiet(2 * 44100, 0.5f);
        limiter.process(quiet);
        QVERIFY(quiet.back() > 0.499f);
    }
};

QTEST_GUILESS_MAIN(TestTrackMixdown)
#include "tst_trackmixdown.moc"
