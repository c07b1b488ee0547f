// The mix made while recording, against the mixdown of the same part files: the encoder is fed
// generated audio as the sound server would deliver it, faster than real time, and FFmpeg's own
// tools judge both results.

#include "CaptureEncoder.h"
#include "LiveMix.h"
#include "PeakLimiter.h"
#include "RecordingChecks.h"
#include "SmallDisk.h"
#include "TrackMixdown.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

using namespace AudioProbe;
using namespace RecordingChecks;

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
};

// Fills the source's samples until `end` on the recording's clock with the tones that sound at
// each frame's own time, over noise of `noise` amplitude.
void render(Source &source, double end, const std::vector<Tone> &tones, float noise = 0.0f) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> hiss(-noise, noise);
    source.samples.clear();
    for (std::int64_t frame = 0; source.timeOf(frame) < end; ++frame) {
        const double t = source.timeOf(frame);
        float value = 0.0f;
        for (const Tone &tone : tones) {
            if (t >= tone.from && t < tone.to)
                value += tone.amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi *
                                                                      tone.hz * (t - tone.from)));
        }
        source.samples.push_back(value + hiss(random));
        source.samples.push_back(value + hiss(random));
    }
}

// Pushes both sources' chunks in the order they would reach the encoder.
void feed(CaptureEncoder &encoder, std::int64_t originNs, const Source &sys, const Source *mic) {
    struct Arrival {
        double at;
        CaptureTrack track;
        std::int64_t first;
    };
    std::vector<Arrival> arrivals;
    const auto plan = [&](const Source &source, CaptureTrack track) {
        const auto frames = static_cast<std::int64_t>(source.samples.size() / 2);
        for (std::int64_t first = 0; first < frames; first += source.chunk) {
            const std::int64_t last = std::min(frames, first + source.chunk);
            arrivals.push_back({source.timeOf(last) + source.latency, track, first});
        }
    };
    plan(sys, CaptureTrack::system);
    if (mic)
        plan(*mic, CaptureTrack::microphone);
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const Arrival &a, const Arrival &b) { return a.at < b.at; });
    for (const Arrival &arrival : arrivals) {
        const Source &source = arrival.track == CaptureTrack::system ? sys : *mic;
        const auto frames = static_cast<std::int64_t>(source.samples.size() / 2);
        CaptureChunk chunk;
        chunk.track = arrival.track;
        chunk.frames = std::min(source.chunk, frames - arrival.first);
        chunk.captureNs = originNs + static_cast<std::int64_t>(source.timeOf(arrival.first) * 1e9);
        chunk.streamStart = arrival.first == 0;
        chunk.samples.assign(source.samples.begin() + arrival.first * 2,
                             source.samples.begin() + (arrival.first + chunk.frames) * 2);
        encoder.push(std::move(chunk));
    }
}

// The files of one recording, named as the recorder names them.
struct Recording {
    QString id = AudioFiles::newRecordingId();
    QString sys = AudioFiles::partPath(QStringLiteral("sys_"), id);
    QString mic = AudioFiles::partPath(QStringLiteral("mic_"), id);
    QString live = AudioFiles::partPath(QStringLiteral("live_"), id);
};

// Records `seconds` of the sources through the encoder with a live mix at `livePath`; with
// `dropped`, the microphone's capture also reports audio lost on the way.
CaptureReport record(const Recording &files, const QString &livePath, double seconds,
                     const Source &sys, const Source *mic, bool dropped = false) {
    const std::int64_t origin = 1'000'000'000;
    CaptureEncoder encoder(TrackEncoder(files.sys, nullptr, origin),
                           TrackEncoder(files.mic, nullptr, origin),
                           std::make_unique<LiveMix>(livePath));
    feed(encoder, origin, sys, mic);
    if (dropped) {
        CaptureChunk lost;
        lost.track = CaptureTrack::microphone;
        lost.kind = CaptureChunk::Kind::dropped;
        lost.frames = 882;
        encoder.push(std::move(lost));
    }
    return encoder.finish(origin + static_cast<std::int64_t>(seconds * 1e9)).result();
}

std::vector<PartTrack> partsOf(const Recording &files, const CaptureReport &report) {
    return {{files.sys, CaptureTrack::system, report.system.framesWritten, false},
            {files.mic, CaptureTrack::microphone, report.microphone.framesWritten, false}};
}

std::int64_t framesOf(const std::vector<float> &samples) {
    return static_cast<std::int64_t>(samples.size() / 2);
}

float peakOf(const std::vector<float> &samples, double from, double to) {
    float peak = 0.0f;
    const auto last = std::min(samples.size(), static_cast<size_t>(to * rate) * 2);
    for (auto i = static_cast<size_t>(from * rate) * 2; i < last; ++i)
        peak = std::max(peak, std::fabs(samples[i]));
    return peak;
}

// A system beep, a microphone beep, then both loud at once: the plain sum would peak at 1.41.
const std::vector<Tone> sysTones{{sysHz, 1.0, 2.0, 0.5f}, {sysHz, 5.0, 6.0, 0.8f}};
const std::vector<Tone> micTones{{micHz, 2.5, 3.5, 0.5f}, {micHz, 5.0, 6.0, 0.8f}};
constexpr double recorded = 8.0;

} // namespace

class TestLiveMix : public QObject {
    Q_OBJECT

private slots:
    void init() { emptyPrivateFolder(); }

    void liveMixIsTheMixdown_data() {
        QTest::addColumn<double>("micStart");
        QTest::addColumn<double>("micLatency");
        QTest::addColumn<double>("micClock");
        QTest::newRow("tracks in step") << 0.0 << 0.0 << 1.0;
        // Its chunks come 300 ms after the system's: the mix waits for them.
        QTest::newRow("microphone starts late and arrives behind") << 0.25 << 0.3 << 1.0;
        // Its device delivers 0.05 % too many frames, which the timeline squeezes out.
        QTest::newRow("microphone's clock runs fast") << 0.0 << 0.1 << 1.0005;
    }

    // The mix made while recording, turned into the recording at the stop, against the
    // mixdown of the same part files: same length, same alignment, same levels, same ceiling.
    void liveMixIsTheMixdown() {
        QFETCH(double, micStart);
        QFETCH(double, micLatency);
        QFETCH(double, micClock);
        Source sys, mic;
        sys.latency = 0.02;
        render(sys, recorded, sysTones);
        mic.start = micStart;
        mic.latency = micLatency;
        mic.clockRatio = micClock;
        mic.chunk = 1024;
        render(mic, recorded, micTones);
        const Recording files;
        const CaptureReport report = record(files, files.live, recorded, sys, &mic);
        QVERIFY(report.liveMix.complete);
        QCOMPARE(modeOf(files.live), 0600u);

        // The same parts under a second recording's names, for the mixdown.
        const Recording copy;
        QVERIFY(QFile::copy(files.sys, copy.sys) && QFile::copy(files.mic, copy.mic));
        const RecordedAudio live =
            mixdown(partsOf(files, report), LiveMixFile{files.live, report.liveMix.framesWritten});
        const RecordedAudio offline = mixdown(partsOf(copy, report));
        QCOMPARE(live.loss, RecordedAudio::Loss::none);
        QCOMPARE(offline.loss, RecordedAudio::Loss::none);
        QCOMPARE(live.filePath, AudioFiles::mixedPathFor(files.sys));
        // The live file and both parts are gone once the recording holds their audio.
        QStringList left{QFileInfo(live.filePath).fileName(),
                         QFileInfo(offline.filePath).fileName()};
        left.sort();
        QCOMPARE(folderEntries(AudioFiles::privateFolder()), left);
        QCOMPARE(format(live.filePath), QStringLiteral("aac LC 44100 Hz 2 ch"));
        VERIFY_FASTSTART(live.filePath);

        const std::vector<float> a = decode(live.filePath), b = decode(offline.filePath);
        // Length: the recording's, within the one AAC frame a decoder may hand out beyond it.
        const auto stopFrames = static_cast<std::int64_t>(recorded * rate);
        QVERIFY2(framesOf(a) >= stopFrames - 2 && framesOf(a) <= stopFrames + 1024,
                 qPrintable(QString::number(framesOf(a))));
        VERIFY_NEAR(framesOf(a), framesOf(b), 1024);

        // Alignment: each beep where it sounded, in both.
        for (const auto &[hz, from, expected] :
             {std::tuple{sysHz, 0.5, 1.0}, std::tuple{micHz, 2.0, 2.5}}) {
            const double liveOnset = onsetOf(a, hz, from), offlineOnset = onsetOf(b, hz, from);
            VERIFY_NEAR(liveOnset, expected, 0.005);
            VERIFY_NEAR(liveOnset, offlineOnset, 0.003);
        }
        // Level: unity gain, as in the mixdown.
        // Short spans: before the timeline corrects it, a fast clock's beep is 1 Hz low.
        for (const auto &[hz, from, to] :
             {std::tuple{sysHz, 1.4, 1.5}, std::tuple{micHz, 2.9, 3.0}}) {
            VERIFY_NEAR(tone(a, hz, from, to), 0.5, 0.025);
            VERIFY_NEAR(tone(a, hz, from, to), tone(b, hz, from, to), 0.015);
        }
        // The loud sum: held at the limiter's ceiling (and the little AAC adds to a limited
        // peak), both beeps turned down alike.
        const float livePeak = peakOf(a, 5.0, 6.0), offlinePeak = peakOf(b, 5.0, 6.0);
        QVERIFY2(livePeak > 0.8f && livePeak < PeakLimiter::ceiling * 1.06f,
                 qPrintable(QString::number(livePeak)));
        VERIFY_NEAR(livePeak, offlinePeak, 0.05f);
        for (const double hz : {sysHz, micHz}) {
            QVERIFY(tone(a, hz, 5.45, 5.55) > 0.4 && tone(a, hz, 5.45, 5.55) < 0.65);
            VERIFY_NEAR(tone(a, hz, 5.45, 5.55), tone(b, hz, 5.45, 5.55), 0.02);
        }
    }

    void lostAudioGivesTheLiveMixUp_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<double>("micStart"); // negative: no microphone at all
        QTest::addColumn<double>("length");
        QTest::addColumn<bool>("complete");
        QTest::newRow("audio dropped on the way") << "dropped" << 0.0 << 6.0 << false;
        QTest::newRow("no microphone") << "" << -1.0 << 6.0 << false;
        QTest::newRow("microphone 5 s late") << "" << 5.0 << 8.0 << true;
        // Beyond what one track may wait for the other.
        QTest::newRow("microphone 11 s late") << "" << 11.0 << 14.0 << false;
    }

    // The live mix stands for the recording only when it holds both tracks whole; otherwise
    // its file is gone by the end and the parts are the recording, whole as ever.
    void lostAudioGivesTheLiveMixUp() {
        QFETCH(QString, what);
        QFETCH(double, micStart);
        QFETCH(double, length);
        QFETCH(bool, complete);
        Source sys, mic;
        render(sys, length, {{sysHz, 0.0, length, 0.5f}});
        mic.start = micStart;
        render(mic, length, {{micHz, 0.0, length, 0.5f}});
        const Recording files;
        const CaptureReport report = record(files, files.live, length, sys,
                                            micStart >= 0 ? &mic : nullptr, what == "dropped");
        QCOMPARE(report.liveMix.complete, complete);
        QCOMPARE(QFile::exists(files.live), complete);
        const auto frames = static_cast<std::int64_t>(length * rate);
        QCOMPARE(report.system.framesWritten, frames);
        QVERIFY(!report.system.writerFailed);
        const std::vector<float> sysAudio = decode(files.sys);
        QVERIFY(tone(sysAudio, sysHz, length - 1.0, length - 0.1) > 0.45);
        if (complete) {
            const std::vector<float> mixed = decode(files.live);
            const double onset = onsetOf(mixed, micHz);
            // The fragmented file still holds the encoder's priming frame at its start.
            VERIFY_NEAR(onset, micStart + 1024.0 / rate, 0.005);
            QVERIFY(tone(mixed, sysHz, 0.1, micStart) > 0.45);
        }
    }

    // The live mix's file fills its disk mid-recording: the mix stops there and its file goes,
    // while both part files are written to the end, and the mixdown makes the recording.
    void failingLiveFileLeavesThePartsWhole() {
        SKIP_WITHOUT_SMALL_DISK();
        const Recording files; // in the private folder, before the disk takes its place
        Source sys, mic;
        // Noise, so the encoder spends its whole bit rate: 64 KiB hold about 4 s.
        render(sys, recorded, sysTones, 0.05f);
        render(mic, recorded, micTones, 0.05f);
        SmallDisk disk(QStringLiteral("size=64k,mode=0700"));
        QVERIFY(disk.mounted());
        const QString livePath = disk.path() + QStringLiteral("/live_") + files.id + ".m4a";
        const CaptureReport report = record(files, livePath, recorded, sys, &mic);

        QVERIFY(!report.liveMix.complete);
        QCOMPARE(folderEntries(disk.path()), QStringList());
        const auto frames = static_cast<std::int64_t>(recorded * rate);
        for (const TrackReport &track : {report.system, report.microphone}) {
            QVERIFY(track.fileCreated && !track.writerFailed && track.framesDropped == 0);
            QCOMPARE(track.framesWritten, frames);
        }
        const RecordedAudio result = mixdown(partsOf(files, report), std::nullopt);
        QCOMPARE(result.loss, RecordedAudio::Loss::none);
        QVERIFY(!QFile::exists(files.sys) && !QFile::exists(files.mic));
        const std::vector<float> audio = decode(result.filePath);
        VERIFY_NEAR(seconds(audio), recorded, 0.03);
        VERIFY_NEAR(tone(audio, sysHz, 1.2, 1.8), 0.5, 0.025);
        VERIFY_NEAR(tone(audio, micHz, 2.7, 3.3), 0.5, 0.025);
        VERIFY_NEAR(tone(audio, sysHz, 5.2, 5.8), tone(audio, micHz, 5.2, 5.8), 0.05);
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
        render(sys, 4.0, {{sysHz, 0.0, 4.0, 0.5f}});
        render(mic, 4.0, {{micHz, 0.0, 4.0, 0.5f}});
        const Recording files;
        const CaptureReport report = record(files, files.live, 4.0, sys, &mic);
        QVERIFY(report.liveMix.complete);
        std::vector<PartTrack> parts = partsOf(files, report);
        QFile live(files.live);
        const bool cut = damage == "cut part";
        if (cut) {
            parts[1].cut = true;
        } else if (damage == "gone") {
            QVERIFY(live.remove());
        } else {
            const QList<qint64> fragments = boxOffsets(files.live, "moof");
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
        QVERIFY(tone(audio, sysHz, 3.0, 3.9) > 0.45);
        QVERIFY(tone(audio, micHz, 3.0, 3.9) > 0.45);
    }
};

QTEST_GUILESS_MAIN(TestLiveMix)
#include "tst_livemix.moc"
