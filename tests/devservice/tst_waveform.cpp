// The waveform comes from the decoded audio: its length, where the loud and quiet stretches
// are, every channel counted; files that hold no audio are refused.

#include "EncodeTone.h"
#include "Waveform.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace {

std::filesystem::path encode(const QTemporaryDir &dir, const QString &name, const QString &source) {
    const QString path = dir.filePath(name);
    return encodeTone(path, source) ? std::filesystem::path(path.toStdString())
                                    : std::filesystem::path();
}

int maxOf(const std::vector<int> &peaks, std::size_t from, std::size_t to) {
    return *std::max_element(peaks.begin() + static_cast<std::ptrdiff_t>(from),
                             peaks.begin() + static_cast<std::ptrdiff_t>(to));
}

int minOf(const std::vector<int> &peaks, std::size_t from, std::size_t to) {
    return *std::min_element(peaks.begin() + static_cast<std::ptrdiff_t>(from),
                             peaks.begin() + static_cast<std::ptrdiff_t>(to));
}

} // namespace

class TestWaveform : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

private slots:
    void initTestCase() {
        if (QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty())
            QFAIL("ffmpeg is missing: run scripts/install-deps");
    }

    void silenceThenToneShowsWhereTheSoundIs() {
        // One second of silence, then one second of a tone at half scale.
        const auto file = encode(m_dir, QStringLiteral("half.m4a"),
                                 QStringLiteral("aevalsrc=if(gte(t\\,1)\\,0.5*sin(2*PI*440*t)\\,0):"
                                                "s=44100:d=2"));
        QVERIFY(!file.empty());
        const Waveform waveform = Waveform::fromAudioFile(file, 100);
        QVERIFY2(std::abs(waveform.durationSeconds() - 2.0) < 0.01,
                 qPrintable(QString::number(waveform.durationSeconds())));
        const std::vector<int> &peaks = waveform.peaks();
        QCOMPARE(peaks.size(), std::size_t{100});
        QVERIFY2(maxOf(peaks, 0, 45) < 20, qPrintable(QString::number(maxOf(peaks, 0, 45))));
        QVERIFY2(minOf(peaks, 55, 100) > 400, qPrintable(QString::number(minOf(peaks, 55, 100))));
        QVERIFY2(maxOf(peaks, 55, 100) < 600, qPrintable(QString::number(maxOf(peaks, 55, 100))));
    }

    void everyChannelCounts() {
        // Opposite phases: a mix of the channels would be silent.
        const auto file = encode(m_dir, QStringLiteral("opposite.m4a"),
                                 QStringLiteral("aevalsrc=0.5*sin(2*PI*440*t)|-0.5*sin(2*PI*440*t):"
                                                "s=44100:d=1"));
        QVERIFY(!file.empty());
        const Waveform waveform = Waveform::fromAudioFile(file, 50);
        QVERIFY2(minOf(waveform.peaks(), 5, 45) > 400,
                 qPrintable(QString::number(minOf(waveform.peaks(), 5, 45))));
    }

    void lengthComesFromTheSamples_data() {
        QTest::addColumn<double>("seconds");
        QTest::newRow("a fraction of a second") << 0.3;
        QTest::newRow("seven seconds") << 7.0;
    }
    void lengthComesFromTheSamples() {
        QFETCH(double, seconds);
        const auto file =
            encode(m_dir, QStringLiteral("tone%1.m4a").arg(seconds),
                   QStringLiteral("sine=frequency=300:sample_rate=44100:duration=%1").arg(seconds));
        QVERIFY(!file.empty());
        const Waveform waveform = Waveform::fromAudioFile(file);
        QVERIFY2(std::abs(waveform.durationSeconds() - seconds) < 0.01,
                 qPrintable(QString::number(waveform.durationSeconds())));
        QCOMPARE(waveform.peaks().size(), std::size_t{Waveform::kDefaultBuckets});
    }

    void filesWithoutAudioAreRefused_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("text") << QByteArray("this is not a recording\n");
        QByteArray noise(4096, '\0');
        for (int i = 0; i < noise.size(); ++i)
            noise[i] = static_cast<char>((i * 7919 + 13) % 251);
        QTest::newRow("noise bytes") << noise;
        // The first bytes of an MP4 file and nothing more.
        QTest::newRow("cut-off header") << QByteArray("\0\0\0\x20"
                                                      "ftypM4A \0\0\0\0",
                                                      16);
    }
    void filesWithoutAudioAreRefused() {
        QFETCH(QByteArray, content);
        const std::filesystem::path path = m_dir.filePath(QStringLiteral("bad.m4a")).toStdString();
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out.write(content.constData(), content.size());
        }
        QVERIFY_THROWS_EXCEPTION(Waveform::DecodeError, (void)Waveform::fromAudioFile(path));
    }
};

QTEST_GUILESS_MAIN(TestWaveform)
#include "tst_waveform.moc"
