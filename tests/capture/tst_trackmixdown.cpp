// The mix made while recording and the mixdown of part files. The encoder is fed generated
// audio as the sound server would deliver it, faster than real time, and FFmpeg's own tools
// judge the results.

#include "AudioFileError.h"
#include "CaptureEncoder.h"
#include "LiveMix.h"
#include "PeakLimiter.h"
#include "RecorderRig.h"
#include "TrackMixdown.h"

#include <QTest>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

#include <sys/stat.h>
#include <unistd.h>

using namespace AudioProbe;

namespace {

constexpr int rate = 44100;
constexpr double sysHz = 1000.0, micHz = 2000.0;

struct Tone {
    double hz;
    double from, to; // seconds on the recording's clock
    float amplitude;
};

// One source as the sound server delivers it.
struct Source {
    double start = 0.0;       // capture time of its first frame, seconds from the origin
    double clockRatio = 1.0;  // the device's frames per frame of the recording's clock
    double latency = 0.0;     // seconds from capture to the chunk reaching the encoder
    std::int64_t chunk = 882; // frames per chunk
    std::vector<float> samples;

    [[nodiscard]] double timeOf(std::int64_t frame) const {
        return start + static_cast<double>(frame) / (rate * clockRatio);
    }
    // Fills the samples until `end` with the tones that sound at each frame's own time, over
    // noise of `noise` amplitude.
    void render(double end, const std::vector<Tone> &tones, float noise = 0.0f) {
        std::mt19937 random(7);
        std::uniform_real_distribution<float> hiss(-noise, noise);
        samples.clear();
        for (std::int64_t frame = 0; timeOf(frame) < end; ++frame) {
            float value = 0.0f;
            for (const Tone &tone : tones) {
                const double t = timeOf(frame) - tone.from;
                if (t >= 0.0 && t < tone.to - tone.from)
                    value += tone.amplitude *
                             static_cast<float>(std::sin(2.0 * std::numbers::pi * tone.hz * t));
            }
            samples.push_back(value + hiss(random));
            samples.push_back(value + hiss(random));
        }
    }
};

// The files of one recording, named as the recorder names them.
struct Recording {
    QString id = AudioFiles::newRecordingId();
    QString sys = AudioFiles::partPath(QStringLiteral("sys_"), id);
    QString mic = AudioFiles::partPath(QStringLiteral("mic_"), id);
    QString live = AudioFiles::partPath(QStringLiteral("live_"), id);
};

// Records `seconds` of the sources through the encoder, pushing their chunks in the order they
// would reach it, with a live mix at `livePath` unless it is empty.
CaptureReport record(const Recording &files, const QString &livePath, double seconds,
                     const Source &sys, const Source *mic) {
    const std::int64_t origin = 1'000'000'000;
    CaptureEncoder encoder(TrackEncoder(files.sys, nullptr, origin),
                           TrackEncoder(files.mic, nullptr, origin),
                           livePath.isEmpty() ? nullptr : std::make_unique<LiveMix>(livePath));
    std::vector<std::tuple<double, CaptureTrack, std::int64_t>> arrivals;
    for (const auto &[source, track] :
         {std::pair{&sys, CaptureTrack::system}, std::pair{mic, CaptureTrack::microphone}}) {
        const auto frames = source ? static_cast<std::int64_t>(source->samples.size() / 2) : 0;
        for (std::int64_t first = 0; first < frames; first += source->chunk)
            arrivals.emplace_back(source->timeOf(std::min(frames, first + source->chunk)) +
                                      source->latency,
                                  track, first);
    }
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const auto &a, const auto &b) { return std::get<0>(a) < std::get<0>(b); });
    for (const auto &[at, track, first] : arrivals) {
        const Source &source = track == CaptureTrack::system ? sys : *mic;
        CaptureChunk chunk;
        chunk.track = track;
        const auto frames = static_cast<std::int64_t>(source.samples.size() / 2);
        chunk.frames = std::min(source.chunk, frames - first);
        chunk.captureNs = origin + static_cast<std::int64_t>(source.timeOf(first) * 1e9);
        chunk.streamStart = first == 0;
        chunk.samples.assign(source.samples.begin() + first * 2,
                             source.samples.begin() + (first + chunk.frames) * 2);
        encoder.push(std::move(chunk));
    }
    return encoder.finish(origin + static_cast<std::int64_t>(seconds * 1e9)).result();
}

// Two steady tones, system and microphone, recorded for `seconds` without a live mix.
std::vector<PartTrack> steadyParts(const Recording &files, double seconds) {
    Source sys, mic;
    sys.render(seconds, {{sysHz, 0.0, seconds, 0.5f}});
    mic.render(seconds, {{micHz, 0.0, seconds, 0.5f}});
    const CaptureReport report = record(files, QString(), seconds, sys, &mic);
    return {{files.sys, CaptureTrack::system, report.system.framesWritten, false},
            {files.mic, CaptureTrack::microphone, report.microphone.framesWritten, false}};
}

float peakOf(const std::vector<float> &samples, double from, double to) {
    float peak = 0.0f;
    const auto last = std::min(samples.size(), static_cast<size_t>(to * rate) * 2);
    for (auto i = static_cast<size_t>(from * rate) * 2; i < last; ++i)
        peak = std::max(peak, std::fabs(samples[i]));
    return peak;
}

// A system beep, a microphone beep, both loud at once (the plain sum would peak at 1.41), and a
// system beep after that.
const std::vector<Tone> sysTones{
    {sysHz, 1.0, 2.0, 0.5f}, {sysHz, 5.0, 6.0, 0.8f}, {sysHz, 6.5, 7.5, 0.5f}};
const std::vector<Tone> micTones{{micHz, 2.5, 3.5, 0.5f}, {micHz, 5.0, 6.0, 0.8f}};
constexpr double recorded = 8.0;

} // namespace

class TestTrackMixdown : public QObject {
    Q_OBJECT

private slots:
    void init() { emptyPrivateFolder(); }

    void mixHoldsBothSourcesFromTheStart_data() {
        QTest::addColumn<double>("micStart");
        QTest::addColumn<double>("micLatency");
        QTest::addColumn<double>("micClock");
        QTest::newRow("tracks in step") << 0.0 << 0.0 << 1.0;
        // Its chunks come 300 ms after the system's: the mix waits for them.
        QTest::newRow("microphone starts late and arrives behind") << 0.25 << 0.3 << 1.0;
        // Its device delivers 0.05 % too many frames, which the timeline squeezes out.
        QTest::newRow("microphone's clock runs fast") << 0.0 << 0.1 << 1.0005;
    }

    // The mix made while recording, turned into the recording, against the mixdown of the same
    // part files: each beep where it sounded, each source at unity gain (never halved), the
    // loud sum held under full scale and the level back after it, the length the recording's.
    void mixHoldsBothSourcesFromTheStart() {
        QFETCH(double, micStart);
        QFETCH(double, micLatency);
        QFETCH(double, micClock);
        Source sys, mic;
        sys.latency = 0.02;
        sys.render(recorded, sysTones);
        mic.start = micStart;
        mic.latency = micLatency;
        mic.clockRatio = micClock;
        mic.chunk = 1024;
        mic.render(recorded, micTones);
        const Recording files, copy;
        const CaptureReport report = record(files, files.live, recorded, sys, &mic);
        QVERIFY(report.liveMix.complete);
        QVERIFY(QFile::copy(files.sys, copy.sys) && QFile::copy(files.mic, copy.mic));
        const auto partsOf = [&](const Recording &names) {
            return std::vector<PartTrack>{
                {names.sys, CaptureTrack::system, report.system.framesWritten, false},
                {names.mic, CaptureTrack::microphone, report.microphone.framesWritten, false}};
        };
        const RecordedAudio live =
            mixdown(partsOf(files), LiveMixFile{files.live, report.liveMix.framesWritten});
        const RecordedAudio offline = mixdown(partsOf(copy));
        QCOMPARE(live.loss, RecordedAudio::Loss::none);
        QCOMPARE(offline.loss, RecordedAudio::Loss::none);
        // The live file and both parts are gone once the recordings hold their audio.
        QStringList left{QFileInfo(live.filePath).fileName(),
                         QFileInfo(offline.filePath).fileName()};
        left.sort();
        QCOMPARE(folderEntries(), left);
        VERIFY_FASTSTART(live.filePath);

        const std::vector<float> a = decode(live.filePath), b = decode(offline.filePath);
        // Length: the recording's, within the one AAC frame a decoder may hand out beyond it.
        QVERIFY2(seconds(a) >= recorded - 2.0 / rate && seconds(a) <= recorded + 1024.0 / rate,
                 qPrintable(QString::number(seconds(a))));
        VERIFY_NEAR(seconds(a), seconds(b), 1024.0 / rate);
        for (const auto &[hz, from, expected] :
             {std::tuple{sysHz, 0.5, 1.0}, std::tuple{micHz, 2.0, 2.5}}) {
            VERIFY_NEAR(onsetOf(a, hz, from), expected, 0.005);
            VERIFY_NEAR(onsetOf(a, hz, from), onsetOf(b, hz, from), 0.003);
        }
        // Short spans: before the timeline corrects it, a fast clock's beep is 1 Hz low.
        for (const auto &[hz, from, to] : {std::tuple{sysHz, 1.4, 1.5}, std::tuple{micHz, 2.9, 3.0},
                                           std::tuple{sysHz, 6.9, 7.0}}) {
            VERIFY_NEAR(tone(a, hz, from, to), 0.5, 0.025);
            VERIFY_NEAR(tone(a, hz, from, to), tone(b, hz, from, to), 0.015);
        }
        // The loud sum: held at the limiter's ceiling (and the little AAC adds to a limited
        // peak), both beeps turned down alike.
        const float livePeak = peakOf(a, 5.0, 6.0);
        QVERIFY2(livePeak > 0.8f && livePeak < PeakLimiter::ceiling * 1.06f,
                 qPrintable(QString::number(livePeak)));
        VERIFY_NEAR(livePeak, peakOf(b, 5.0, 6.0), 0.05f);
        for (const double hz : {sysHz, micHz}) {
            QVERIFY(tone(a, hz, 5.45, 5.55) > 0.4 && tone(a, hz, 5.45, 5.55) < 0.65);
            VERIFY_NEAR(tone(a, hz, 5.45, 5.55), tone(b, hz, 5.45, 5.55), 0.02);
        }
    }

    // A microphone that stays silent for longer than one track may wait for the other gives
    // the live mix up, so its audio is not held any longer: the file is gone, and the parts are
    // the recording, whole.
    void liveMixGivesUpOnATrackTooLate() {
        Source sys, mic;
        sys.render(14.0, {{sysHz, 0.0, 14.0, 0.5f}});
        mic.start = 11.0;
        mic.render(14.0, {{micHz, 0.0, 14.0, 0.5f}});
        const Recording files;
        const CaptureReport report = record(files, files.live, 14.0, sys, &mic);
        QVERIFY(!report.liveMix.complete);
        QVERIFY(!QFile::exists(files.live));
        QCOMPARE(report.system.framesWritten, std::int64_t{14} * rate);
        QVERIFY(tone(decode(files.sys), sysHz, 13.0, 13.9) > 0.45);
        QVERIFY(tone(decode(files.mic), micHz, 13.0, 13.9) > 0.45);
    }

    void incompleteLiveFileIsMixedFromTheParts_data() {
        QTest::addColumn<QString>("damage");
        QTest::newRow("gone") << "gone";
        QTest::newRow("cut mid-fragment") << "mid-fragment";
        // Every fragment that is left is intact: only the length can tell.
        QTest::newRow("cut after two fragments") << "two fragments";
        // The live file is whole, but the microphone's part was handed over as cut: the parts
        // are mixed, so the recording says which track lost audio.
        QTest::newRow("beside a cut part") << "cut part";
    }

    // A live file that does not hold the whole recording (however that came about) is never
    // taken for it: the parts are mixed instead, and only then removed.
    void incompleteLiveFileIsMixedFromTheParts() {
        QFETCH(QString, damage);
        Source sys, mic;
        sys.render(4.0, {{sysHz, 0.0, 4.0, 0.5f}});
        mic.render(4.0, {{micHz, 0.0, 4.0, 0.5f}});
        const Recording files;
        const CaptureReport report = record(files, files.live, 4.0, sys, &mic);
        QVERIFY(report.liveMix.complete);
        const bool cut = damage == "cut part";
        const std::vector<PartTrack> parts{
            {files.sys, CaptureTrack::system, report.system.framesWritten, false},
            {files.mic, CaptureTrack::microphone, report.microphone.framesWritten, cut}};
        QFile live(files.live);
        if (damage == "gone") {
            QVERIFY(live.remove());
        } else if (!cut) {
            QList<qint64> fragments;
            for (const auto &[type, offset] : boxes(files.live))
                fragments << (type == "moof" ? offset : -1);
            fragments.removeAll(-1);
            QVERIFY2(fragments.size() >= 4, qPrintable(QString::number(fragments.size())));
            QVERIFY(live.resize(damage == "two fragments" ? fragments[2] : fragments[2] + 100));
        }

        const RecordedAudio result =
            mixdown(parts, LiveMixFile{files.live, report.liveMix.framesWritten});
        QCOMPARE(result.loss, cut ? RecordedAudio::Loss::trackCut : RecordedAudio::Loss::none);
        QCOMPARE(result.affectedTrack,
                 cut ? std::optional(CaptureTrack::microphone) : std::nullopt);
        QCOMPARE(folderEntries(), QStringList{QFileInfo(result.filePath).fileName()});
        const std::vector<float> audio = decode(result.filePath);
        VERIFY_NEAR(seconds(audio), 4.0, 0.03);
        QVERIFY(tone(audio, sysHz, 3.0, 3.9) > 0.45 && tone(audio, micHz, 3.0, 3.9) > 0.45);
    }

    // Parts of different lengths (one track's writer stopped early): each source for its own
    // length, the shorter followed by silence, nothing of the longer cut.
    void mixRunsEachPartForItsLength() {
        const Recording files;
        std::vector<PartTrack> parts = steadyParts(files, 4.0);
        parts[1].frames = static_cast<std::int64_t>(1.5 * rate);
        const RecordedAudio mixed = QCoro::waitFor(mergeTracks(parts));
        QCOMPARE(mixed.loss, RecordedAudio::Loss::none);
        QCOMPARE(folderEntries(), QStringList{QFileInfo(mixed.filePath).fileName()});
        const std::vector<float> audio = decode(mixed.filePath);
        VERIFY_NEAR(seconds(audio), 4.0, 0.03);
        QVERIFY(tone(audio, micHz, 0.05, 1.4) > 0.45 && tone(audio, micHz, 1.6, 4.0) < 0.01);
        QVERIFY(tone(audio, sysHz, 0.05, 1.4) > 0.45 && tone(audio, sysHz, 3.0, 3.95) > 0.45);
    }

    void unreadablePartIsLeftOutAndKept_data() {
        QTest::addColumn<int>("broken"); // index of the broken part: 0 system, 1 microphone
        QTest::newRow("system") << 0;
        QTest::newRow("microphone") << 1;
    }

    // One part cannot be read: the other is the recording, the loss is reported for the right
    // track, and the broken part is kept as it was.
    void unreadablePartIsLeftOutAndKept() {
        QFETCH(int, broken);
        const Recording files;
        const std::vector<PartTrack> parts = steadyParts(files, 1.0);
        const QString brokenPath = parts[broken].path;
        QFile file(brokenPath);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(5000, 'x')) == 5000);
        file.close();
        const qint64 brokenSize = QFileInfo(brokenPath).size();

        const RecordedAudio result = QCoro::waitFor(mergeTracks(parts));
        QCOMPARE(result.loss, RecordedAudio::Loss::trackCut);
        QCOMPARE(result.affectedTrack, std::optional(parts[broken].track));
        QCOMPARE(result.partFiles, QStringList{brokenPath});
        QCOMPARE(QFileInfo(brokenPath).size(), brokenSize);
        QVERIFY(!QFile::exists(parts[1 - broken].path));
        QVERIFY(tone(decode(result.filePath), broken ? sysHz : micHz, 0.1, 0.9) > 0.45);
    }

    void plantedLinkOrFolderIsRefused_data() {
        QTest::addColumn<QString>("planted");
        QTest::newRow("folder: symlink to a readable folder") << "symlink";
        QTest::newRow("folder: plain file") << "file";
        QTest::newRow("folder: another user's") << "foreign";
        QTest::newRow("file name: symlink to a file") << "file link";
    }

    // A link, a file or another user's folder at the folder's name (left by another program,
    // a restored backup or another account), or a link at a file's name, must not receive or
    // truncate meeting audio; the user is told which folder to move away.
    void plantedLinkOrFolderIsRefused() {
        QFETCH(QString, planted);
        if (planted == "foreign" && ::geteuid() != 0)
            QSKIP("only root can give a folder to another user");
        QTemporaryDir otherData, elsewhere;
        const QString victim = elsewhere.filePath(QStringLiteral("victim"));
        QFile original(victim);
        QVERIFY(original.open(QIODevice::WriteOnly) && original.write("original") == 8);
        original.close();
        const QByteArray savedDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(otherData.path()));
        QVERIFY(QDir(otherData.path()).mkdir(QStringLiteral("tolvex")));
        const QString folder = otherData.path() + QStringLiteral("/tolvex/recordings");
        const QString id = AudioFiles::newRecordingId();
        if (planted == "symlink") {
            QVERIFY(QFile::link(elsewhere.path(), folder));
        } else if (planted == "file") {
            QVERIFY(QFile(folder).open(QIODevice::WriteOnly));
        } else if (planted == "foreign") {
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0700) == 0);
            QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);
        } else {
            QVERIFY(QFile::link(victim, AudioFiles::partPath(QStringLiteral("sys_"), id)));
        }

        QString message;
        try {
            M4aWriter writer(AudioFiles::partPath(QStringLiteral("sys_"), id),
                             M4aWriter::Layout::fragmented);
        } catch (const AudioFileError &error) {
            message = error.localizedDescription();
        }
        qputenv("XDG_DATA_HOME", savedDataHome);

        QVERIFY(!message.isEmpty());
        QVERIFY2(planted == "file link" || message.startsWith("Папка для записей " + folder),
                 qPrintable(message));
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::Files), QStringList{"victim"});
        QVERIFY(original.open(QIODevice::ReadOnly));
        QCOMPARE(original.readAll(), QByteArray("original"));
        if (planted == "foreign")
            QVERIFY(QDir(folder).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestTrackMixdown)
#include "tst_trackmixdown.moc"
