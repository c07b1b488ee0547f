// The mixdown and the file writer underneath it, judged by FFmpeg's own tools.

#include "AudioFileError.h"
#include "AudioFiles.h"
#include "AudioProbe.h"
#include "M4aWriter.h"
#include "PeakLimiter.h"
#include "TrackMixdown.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

using namespace AudioProbe;

namespace {

QStringList privateFolderFiles() {
    return QDir(AudioFiles::privateFolder()).entryList(QDir::Files, QDir::Name);
}

double seconds(const std::vector<float> &samples) {
    return static_cast<double>(samples.size()) / 2.0 / 44100.0;
}

// A system and a microphone part file, each a sine of its own frequency and length.
std::pair<QString, QString> partFiles(double sysHz, double sysSeconds, double micHz,
                                      double micSeconds, float amplitude) {
    const QString sys = AudioFiles::newFilePath("sys_");
    const QString mic = AudioFiles::newFilePath("mic_");
    writeTone(sys, sysHz, sysSeconds, amplitude);
    writeTone(mic, micHz, micSeconds, amplitude);
    return {sys, mic};
}

} // namespace

class TestTrackMixdown : public QObject {
    Q_OBJECT

private slots:
    void init() {
        // Each case starts from an empty private folder so left-overs can be counted.
        for (const QString &name : privateFolderFiles())
            QFile::remove(AudioFiles::privateFolder() + '/' + name);
    }

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

    void mixHoldsBothSourcesFromTheStart() {
        const auto [sys, mic] = partFiles(440, 3.0, 1000, 3.0, 0.3f);

        const QString mixed = QCoro::waitFor(mergeTracks(sys, mic));

        QVERIFY(mixed != sys && mixed != mic);
        QCOMPARE(QFileInfo(mixed).permissions() & 0x0077, QFileDevice::Permissions());
        // Index at the front, unfragmented: the service can read it without seeking to the end.
        const QStringList boxes = topLevelBoxes(mixed);
        QVERIFY2(boxes.indexOf("moov") >= 0 && boxes.indexOf("moov") < boxes.indexOf("mdat"),
                 qPrintable(boxes.join(',')));
        QVERIFY(!boxes.contains("moof"));
        QCOMPARE(format(mixed), QStringLiteral("aac LC 44100 Hz 2 ch"));

        const std::vector<float> samples = decode(mixed);
        QVERIFY(qAbs(seconds(samples) - 3.0) < 0.05);
        for (int channel = 0; channel < 2; ++channel) {
            // Unity gain: each source keeps its level instead of being halved.
            QVERIFY(toneAmplitude(samples, channel, 440, 0.05, 1.0) > 0.25);
            QVERIFY(toneAmplitude(samples, channel, 1000, 0.05, 1.0) > 0.25);
        }
        // The inputs are the caller's to remove; the mix touches neither.
        QVERIFY(QFile::exists(sys) && QFile::exists(mic));
    }

    void eachSourceRunsForItsOwnLength() {
        const auto [sys, mic] = partFiles(440, 1.5, 1000, 4.0, 0.3f);

        const std::vector<float> samples = decode(QCoro::waitFor(mergeTracks(sys, mic)));

        QVERIFY(qAbs(seconds(samples) - 4.0) < 0.05);
        QVERIFY(toneAmplitude(samples, 0, 440, 0.2, 1.3) > 0.25);
        QVERIFY(toneAmplitude(samples, 0, 440, 2.0, 4.0) < 0.01);
        QVERIFY(toneAmplitude(samples, 0, 1000, 2.0, 3.9) > 0.25);
    }

    void loudSourcesNeverClip() {
        // In phase, the plain sum would peak at 1.8 and wrap or clip hard.
        const auto [sys, mic] = partFiles(440, 2.0, 440, 2.0, 0.9f);

        const std::vector<float> samples = decode(QCoro::waitFor(mergeTracks(sys, mic)));

        QVERIFY(!samples.empty());
        float peak = 0;
        for (float v : samples)
            peak = std::max(peak, std::fabs(v));
        QVERIFY2(peak <= 1.0f, qPrintable(QString::number(peak)));
        QVERIFY(toneAmplitude(samples, 0, 440, 0.5, 1.5) > 0.8);
    }

    void unusableInputGivesTheSystemFileBack_data() {
        QTest::addColumn<bool>("systemBroken"); // else the microphone file is
        QTest::addColumn<QString>("how");
        QTest::newRow("microphone file missing") << false << "missing";
        QTest::newRow("microphone file not audio") << false << "garbage";
        QTest::newRow("microphone file without audio stream") << false << "video";
        QTest::newRow("system file without audio stream") << true << "video";
    }

    void unusableInputGivesTheSystemFileBack() {
        QFETCH(bool, systemBroken);
        QFETCH(QString, how);
        const auto [sys, mic] = partFiles(440, 1.0, 1000, 1.0, 0.3f);
        const QString target = systemBroken ? sys : mic;
        QFile::remove(target);
        if (how == "garbage") {
            QFile file(target);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(5000, 'x'));
        } else if (how == "video") {
            QProcess ffmpeg;
            ffmpeg.start("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "color=c=black:s=16x16:d=1",
                                    "-c:v", "mpeg4", "-f", "mp4", "-y", target});
            QVERIFY(ffmpeg.waitForFinished(60000) && ffmpeg.exitCode() == 0);
        }
        const qint64 sysSize = QFileInfo(sys).size();
        const QStringList before = privateFolderFiles();

        const QString result = QCoro::waitFor(mergeTracks(sys, mic));

        QCOMPARE(result, sys);
        QCOMPARE(QFileInfo(sys).size(), sysSize);
        QCOMPARE(privateFolderFiles(), before); // no half-made mix left behind
    }

    void plantedFolderIsRefused_data() {
        QTest::addColumn<QString>("planted");
        QTest::newRow("symlink to a readable folder") << "symlink";
        QTest::newRow("plain file") << "file";
    }

    // Another user could plant the folder's name in the shared temporary directory to read
    // meeting audio; the writer must refuse it rather than write there.
    void plantedFolderIsRefused() {
        QFETCH(QString, planted);
        QTemporaryDir otherTmp, elsewhere;
        const QByteArray savedTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(otherTmp.path()));
        const QString folder = otherTmp.path() + QStringLiteral("/tolvex-%1").arg(getuid());
        if (planted == "symlink")
            QVERIFY(QFile::link(elsewhere.path(), folder));
        else
            QVERIFY(QFile(folder).open(QIODevice::WriteOnly));

        QString message;
        try {
            AudioFiles::newFilePath("sys_");
        } catch (const AudioFileError &error) {
            message = error.localizedDescription();
        }
        qputenv("TMPDIR", savedTmp);

        QVERIFY(message.startsWith(QStringLiteral("Не удалось создать файл записи")));
        QVERIFY(QDir(elsewhere.path()).isEmpty());
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
