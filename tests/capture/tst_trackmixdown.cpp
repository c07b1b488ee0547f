// The tracks without a sound server: where chunks land on the recording's clock, the mix made
// while recording and the mixdown of part files. The encoder is fed generated audio as the
// sound server would deliver it, faster than real time, and FFmpeg's own tools judge the files.

#include "AudioFileError.h"
#include "CaptureEncoder.h"
#include "LiveMix.h"
#include "PeakLimiter.h"
#include "RecorderRig.h"
#include "TrackMixdown.h"
#include "TrackTimeline.h"

#include <QTest>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <numbers>
#include <random>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace AudioProbe;

namespace {

constexpr int rate = 44100;
constexpr double sysHz = 1000.0, micHz = 2000.0;
constexpr std::int64_t ms = 1'000'000;
constexpr std::int64_t origin = 5'000 * ms; // an arbitrary steady-clock reading

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
    // Fills the samples until `end` with the tones that sound at each frame's own time.
    void render(double end, const std::vector<Tone> &tones) {
        for (std::int64_t frame = 0; timeOf(frame) < end; ++frame) {
            float value = 0.0f;
            for (const Tone &tone : tones) {
                const double t = timeOf(frame) - tone.from;
                if (t >= 0.0 && t < tone.to - tone.from)
                    value += tone.amplitude *
                             static_cast<float>(std::sin(2.0 * std::numbers::pi * tone.hz * t));
            }
            samples.insert(samples.end(), {value, value});
        }
    }
};

// The files of one recording, named as the recorder names them.
struct Recording {
    RecordingFiles files{AudioFiles::privateFolder(), RecordingFiles::newId()};
    QString sys = files.systemPart();
    QString mic = files.microphonePart();
    QString live = files.liveMix();

    // The two parts as the recorder hands them over after `report`.
    [[nodiscard]] std::vector<PartTrack> parts(const CaptureReport &report) const {
        return {{sys, CaptureTrack::system, report.system.framesWritten, false},
                {mic, CaptureTrack::microphone, report.microphone.framesWritten, false}};
    }
};

// Records `seconds` of the sources through the encoder with a live mix, pushing their chunks
// in the order they would reach it, into a queue that holds `queueLimit` frames.
CaptureReport record(const Recording &files, double seconds, const Source &sys, const Source &mic,
                     std::int64_t queueLimit = CaptureEncoder::defaultQueueLimitFrames) {
    CaptureEncoder encoder(TrackEncoder(files.sys, nullptr, origin),
                           TrackEncoder(files.mic, nullptr, origin),
                           std::make_unique<LiveMix>(files.live), queueLimit);
    std::vector<std::tuple<double, const Source *, std::int64_t>> arrivals;
    for (const Source *source : {&sys, &mic}) {
        const auto frames = static_cast<std::int64_t>(source->samples.size() / 2);
        for (std::int64_t first = 0; first < frames; first += source->chunk)
            arrivals.emplace_back(source->timeOf(std::min(frames, first + source->chunk)) +
                                      source->latency,
                                  source, first);
    }
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const auto &a, const auto &b) { return std::get<0>(a) < std::get<0>(b); });
    for (const auto &[at, source, first] : arrivals) {
        CaptureChunk chunk;
        chunk.track = source == &sys ? CaptureTrack::system : CaptureTrack::microphone;
        chunk.frames =
            std::min(source->chunk, static_cast<std::int64_t>(source->samples.size() / 2) - first);
        chunk.captureNs = origin + static_cast<std::int64_t>(source->timeOf(first) * 1e9);
        chunk.arrivalNs = origin + static_cast<std::int64_t>(at * 1e9);
        chunk.streamStart = first == 0;
        chunk.samples.assign(source->samples.begin() + first * 2,
                             source->samples.begin() + (first + chunk.frames) * 2);
        encoder.push(std::move(chunk));
    }
    return encoder.finish(origin + static_cast<std::int64_t>(seconds * 1e9)).result();
}

// Two steady tones, system and microphone (starting at `micStart`), recorded for `seconds` with
// a live mix.
CaptureReport steady(const Recording &files, double seconds, double micStart = 0.0,
                     std::int64_t queueLimit = CaptureEncoder::defaultQueueLimitFrames) {
    Source sys, mic;
    sys.render(seconds, {{sysHz, 0.0, seconds, 0.5f}});
    mic.start = micStart;
    mic.render(seconds, {{micHz, 0.0, seconds, 0.5f}});
    return record(files, seconds, sys, mic, queueLimit);
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

// A chunk of audio captured at `atMs` (the first of its stream when `start`) and read at
// `arrivalMs` (by default as soon as its last frame was captured), or with `hole`, a stretch
// the server reports missing.
struct Event {
    enum Kind { start, audio, hole } kind;
    std::int64_t atMs;
    std::int64_t frames;
    std::int64_t arrivalMs = -1;
};

// Every sync and removal of a file while `tracing`, in order: the call and the file's name.
std::atomic<bool> tracing = false;
std::mutex diskCallsMutex;
std::vector<std::pair<QByteArray, QString>> diskCalls;

void note(const char *call, const QString &path) {
    if (!tracing)
        return;
    const std::lock_guard lock(diskCallsMutex);
    diskCalls.emplace_back(call, QFileInfo(path).fileName());
}

void noteFd(const char *call, int fd) {
    if (tracing)
        note(call, QFileInfo(QStringLiteral("/proc/self/fd/%1").arg(fd)).symLinkTarget());
}

template <typename Function> Function *real(const char *name) {
    return reinterpret_cast<Function *>(dlsym(RTLD_NEXT, name));
}

} // namespace

// The program's own calls and those of Qt and FFmpeg reach these first.
extern "C" int fsync(int fd) {
    noteFd("fsync", fd);
    return real<int(int)>("fsync")(fd);
}
extern "C" int fdatasync(int fd) {
    noteFd("fdatasync", fd);
    return real<int(int)>("fdatasync")(fd);
}
extern "C" int unlink(const char *path) noexcept {
    note("unlink", QFile::decodeName(path));
    return real<int(const char *)>("unlink")(path);
}

Q_DECLARE_METATYPE(std::vector<Event>)

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
        const CaptureReport report = record(files, recorded, sys, mic);
        QVERIFY(report.liveMix.complete);
        QVERIFY(QFile::copy(files.sys, copy.sys) && QFile::copy(files.mic, copy.mic));
        const RecordedAudio live =
            mixdown(files.parts(report), LiveMixFile{files.live, report.liveMix.framesWritten});
        const RecordedAudio offline = mixdown(copy.parts(report));
        QCOMPARE(live.loss, RecordedAudio::Loss::none);
        QCOMPARE(offline.loss, RecordedAudio::Loss::none);
        // The live file and both parts are gone once the recordings hold their audio.
        QCOMPARE(folderEntries().size(), 2);
        QVERIFY(faststart(live.filePath));

        for (const QString &path : {live.filePath, offline.filePath}) {
            const std::vector<float> audio = decode(path);
            // Length: the recording's, within the one AAC frame a decoder may hand out beyond.
            QVERIFY2(seconds(audio) >= recorded - 2.0 / rate &&
                         seconds(audio) <= recorded + 1024.0 / rate,
                     qPrintable(QString::number(seconds(audio))));
            VERIFY_NEAR(onsetOf(audio, sysHz, 0.5), 1.0, 0.005);
            VERIFY_NEAR(onsetOf(audio, micHz, 2.0), 2.5, 0.005);
            // Short spans: before the timeline corrects it, a fast clock's beep is 1 Hz low.
            VERIFY_NEAR(tone(audio, sysHz, 1.4, 1.5), 0.5, 0.025);
            VERIFY_NEAR(tone(audio, micHz, 2.9, 3.0), 0.5, 0.025);
            VERIFY_NEAR(tone(audio, sysHz, 6.9, 7.0), 0.5, 0.025);
            // The loud sum: held at the limiter's ceiling (and the little AAC adds to a
            // limited peak), both beeps turned down alike.
            const float peak = peakOf(audio, 5.0, 6.0);
            QVERIFY2(peak > 0.8f && peak < PeakLimiter::ceiling * 1.06f,
                     qPrintable(QString::number(peak)));
            for (const double hz : {sysHz, micHz})
                QVERIFY(tone(audio, hz, 5.45, 5.55) > 0.4 && tone(audio, hz, 5.45, 5.55) < 0.65);
        }
    }

    // A microphone that stays silent for longer than one track may wait for the other gives
    // the live mix up, so its audio is not held any longer: the file is gone, and the parts are
    // the recording, whole.
    void liveMixGivesUpOnATrackTooLate() {
        const Recording files;
        const CaptureReport report = steady(files, 14.0, 11.0);
        QVERIFY(!report.liveMix.complete);
        QVERIFY(!QFile::exists(files.live));
        QCOMPARE(report.system.framesWritten, std::int64_t{14} * rate);
        QVERIFY(tone(decode(files.sys), sysHz, 13, 13.9) > 0.45 &&
                tone(decode(files.mic), micHz, 13, 13.9) > 0.45);
    }

    // Audio comes in faster than a slow disk takes it, beyond what the encoder's queue may
    // hold: it becomes silence of the same length, counted and reported, so the track neither
    // shifts nor hides its loss.
    void audioBeyondTheQueueBecomesCountedSilence() {
        const Recording files;
        const CaptureReport report = steady(files, 3.0, 0.0, 0);
        QCOMPARE(report.system.framesDropped, std::int64_t{3} * rate);
        QCOMPARE(report.system.framesWritten, std::int64_t{3} * rate);
        QVERIFY(!report.liveMix.complete);
        const std::vector<float> audio = decode(files.sys);
        VERIFY_NEAR(seconds(audio), 3.0, 0.05);
        QVERIFY(tone(audio, sysHz, 0.05, 2.95) < 0.01);
    }

    void mixdownKeepsEveryTrackItCan_data() {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<int>("lost"); // the track reported cut: -1 none, 0 system, 1 microphone
        QTest::newRow("live mix gone") << "live gone" << -1;
        QTest::newRow("live mix cut mid-fragment") << "live mid-fragment" << -1;
        // Every fragment that is left is intact: only the length can tell.
        QTest::newRow("live mix cut after two fragments") << "live two fragments" << -1;
        // The live file is whole, but the microphone's part was handed over as cut: the parts
        // are mixed, so the recording says which track lost audio.
        QTest::newRow("live mix beside a cut part") << "live cut part" << 1;
        // After a crash there is no live mix. One track's writer stopped early:
        QTest::newRow("microphone part ends early") << "short" << -1;
        QTest::newRow("system part not audio") << "garbage" << 0;
        QTest::newRow("microphone part not audio") << "garbage" << 1;
    }

    // A live mix that does not hold the whole recording (however that came about) is never
    // taken for it: the parts are mixed instead, each for its own length, and one that cannot
    // be read is left out and kept as it was. The loss is reported for the right track, and
    // nothing else is cut.
    void mixdownKeepsEveryTrackItCan() {
        QFETCH(QString, damage);
        QFETCH(int, lost);
        const Recording files;
        const CaptureReport report = steady(files, 4.0);
        std::vector<PartTrack> parts = files.parts(report);
        std::optional<LiveMixFile> live = LiveMixFile{files.live, report.liveMix.framesWritten};
        QList<qint64> fragments;
        for (const auto &[type, offset] : boxes(files.live)) {
            if (type == "moof")
                fragments << offset;
        }
        QVERIFY2(report.liveMix.complete && fragments.size() >= 4, qPrintable(damage));
        const double micSeconds = damage == "short" ? 1.5 : 4.0;
        parts[1].frames = static_cast<std::int64_t>(micSeconds * rate);
        parts[1].cut = damage == "live cut part";
        QFile file(damage == "garbage" ? parts[lost].path : files.live);
        if (damage == "live mid-fragment" || damage == "live two fragments") {
            QVERIFY(file.resize(damage.endsWith("fragments") ? fragments[2] : fragments[2] + 100));
        } else if (damage == "garbage") {
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(5000, 'x')) == 5000);
            file.close();
        }
        if (!damage.startsWith("live") || damage == "live gone") {
            live.reset();
            QVERIFY(QFile::remove(files.live));
        }

        const RecordedAudio result = QCoro::waitFor(mergeTracks(parts, live));
        QCOMPARE(result.loss, lost < 0 ? RecordedAudio::Loss::none : RecordedAudio::Loss::trackCut);
        QCOMPARE(result.affectedTrack, lost < 0 ? std::nullopt : std::optional(parts[lost].track));
        const QStringList kept =
            damage == "garbage" ? QStringList{parts[lost].path} : QStringList();
        QCOMPARE(result.partFiles, kept);
        QCOMPARE(QFileInfo(kept.value(0)).size(), kept.isEmpty() ? 0LL : 5000LL);
        QCOMPARE(folderEntries().size(), kept.size() + 1);
        const std::vector<float> audio = decode(result.filePath);
        VERIFY_NEAR(seconds(audio), 4.0, 0.03);
        QCOMPARE(tone(audio, sysHz, 0.05, 3.95) > 0.45, damage != "garbage" || lost != 0);
        QCOMPARE(tone(audio, micHz, 0.05, micSeconds - 0.1) > 0.45,
                 damage != "garbage" || lost != 1);
        QVERIFY(tone(audio, micHz, micSeconds + 0.1, 4.0) < 0.01);
    }

    void powerCutCostsSecondsNotTheRecording_data() {
        QTest::addColumn<std::int64_t>("liveMixShortBy"); // the live mix then gives way to parts
        QTest::newRow("mixed while recording") << std::int64_t{0};
        QTest::newRow("mixed from the parts") << std::int64_t{rate};
    }

    // A power cut costs a few seconds of a recording, never the recording: while it records,
    // each file is put on the disk at least every 5 s; at the stop the mix, then its folder, are
    // on the disk before a part is removed.
    void powerCutCostsSecondsNotTheRecording() {
        QFETCH(std::int64_t, liveMixShortBy);
        const Recording files;
        // Where each call on the file `path` came, in order.
        const auto where = [](const QByteArray &call, const QString &path) {
            std::vector<std::ptrdiff_t> found;
            for (std::size_t i = 0; i < diskCalls.size(); ++i) {
                if (diskCalls[i] == std::pair(call, QFileInfo(path).fileName()))
                    found.push_back(static_cast<std::ptrdiff_t>(i));
            }
            return found;
        };
        diskCalls.clear();
        tracing = true;
        const CaptureReport report = steady(files, 10.5);
        for (const QString &path : {files.sys, files.mic, files.live})
            QVERIFY2(where("fdatasync", path).size() >= 2, qPrintable(path));

        diskCalls.clear();
        const RecordedAudio result =
            mixdown(files.parts(report),
                    LiveMixFile{files.live, report.liveMix.framesWritten + liveMixShortBy});
        tracing = false;
        QCOMPARE(result.loss, RecordedAudio::Loss::none);
        QCOMPARE(folderEntries().size(), 1);
        const auto sysGone = where("unlink", files.sys), micGone = where("unlink", files.mic);
        QVERIFY(!sysGone.empty() && !micGone.empty());
        const std::ptrdiff_t partGone = std::min(sysGone.front(), micGone.front());
        const auto lastBefore = [&](const std::vector<std::ptrdiff_t> &found) {
            const auto last = std::lower_bound(found.begin(), found.end(), partGone);
            return last == found.begin() ? std::ptrdiff_t{-1} : *(last - 1);
        };
        // The mix that stays is the last one written: a short copy of the live mix goes first.
        const std::ptrdiff_t mixSynced = lastBefore(where("fsync", result.filePath));
        QVERIFY(mixSynced >= 0);
        QVERIFY(lastBefore(where("unlink", result.filePath)) < mixSynced);
        QVERIFY(lastBefore(where("fsync", AudioFiles::privateFolder())) > mixSynced);
    }

    void plantedLinkOrFolderIsRefused_data() {
        QTest::addColumn<QString>("planted");
        QTest::newRow("folder: symlink to a readable folder") << "symlink";
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
        QFile victim(elsewhere.filePath(QStringLiteral("victim")));
        QVERIFY(victim.open(QIODevice::WriteOnly) && victim.write("original") == 8);
        victim.close();
        const QByteArray savedDataHome = qgetenv("XDG_DATA_HOME");
        qputenv("XDG_DATA_HOME", QFile::encodeName(otherData.path()));
        const QString folder = otherData.path() + QStringLiteral("/tolvex/recordings");
        const QString id = RecordingFiles::newId();
        QVERIFY(QDir().mkpath(otherData.path() + QStringLiteral("/tolvex")));
        if (planted == "symlink")
            QVERIFY(QFile::link(elsewhere.path(), folder));
        else if (planted == "foreign")
            QVERIFY(QDir().mkdir(folder) && ::chown(QFile::encodeName(folder), 65534, 65534) == 0);
        else
            QVERIFY(victim.link(RecordingFiles(AudioFiles::privateFolder(), id).systemPart()));

        QString message;
        try {
            M4aWriter writer(RecordingFiles(AudioFiles::privateFolder(), id).systemPart(),
                             M4aWriter::Layout::fragmented);
        } catch (const AudioFileError &error) {
            message = error.localizedDescription();
        }
        qputenv("XDG_DATA_HOME", savedDataHome);
        QVERIFY2(message.startsWith(planted == "file link" ? QStringLiteral("Не удалось")
                                                           : "Папка для записей " + folder),
                 qPrintable(message));
        QCOMPARE(QDir(elsewhere.path()).entryList(QDir::Files), QStringList{"victim"});
        QVERIFY(victim.open(QIODevice::ReadOnly) && victim.readAll() == "original");
        if (planted == "foreign")
            QVERIFY(QDir(folder).isEmpty());
    }

    void placesChunks_data() {
        QTest::addColumn<std::vector<Event>>("events");
        QTest::addColumn<qint64>("stopMs");
        QTest::addColumn<qint64>("frames"); // the track's length at the stop
        using E = std::vector<Event>;
        QTest::newRow("on time, then quiet for 1 s before the stop")
            << E{{Event::start, 0, 882}, {Event::audio, 20, 43218}} << 2000LL << 88200LL;
        QTest::newRow("a reopened stream is placed exactly, even 30 ms on")
            << E{{Event::start, 0, 882}, {Event::start, 50, 882}} << 0LL << 3087LL;
        QTest::newRow("a hole is silence of its length; what follows is not doubled")
            << E{{Event::start, 0, 882}, {Event::hole, 0, 4410}, {Event::audio, 120, 882}} << 0LL
            << 6174LL;
        QTest::newRow("one capture time 150 ms late moves nothing after it")
            << E{{Event::start, 0, 882}, {Event::audio, 170, 882, 40}, {Event::audio, 40, 882}}
            << 0LL << 2646LL;
        QTest::newRow("a start stamped an hour on adds no more than the wall clock allows")
            << E{{Event::start, 3'600'000, 882, 20}, {Event::audio, 20, 882}} << 0LL << 1764LL;
        QTest::newRow("capture times that run 1.5 s ahead within a stream add nothing")
            << E{{Event::start, 0, 882}, {Event::audio, 1520, 882, 1040}, {Event::audio, 1540, 882}}
            << 0LL << 2646LL;
        QTest::newRow("a stream captured before the origin starts at the origin")
            << E{{Event::start, -10, 882}, {Event::audio, 10, 882}} << 0LL << 1323LL;
        QTest::newRow("a resumed device is placed by its stamp only as far as the wall clock")
            << E{{Event::start, 0, 882}, {Event::start, 3000, 882, 1040}} << 0LL << 45864LL;
        QTest::newRow("longer than the clock (a fast device): nothing is cut at the stop")
            << E{{Event::start, 0, 44541}} << 1000LL << 44541LL;
    }

    // The track's length counts exactly the audio and the silence written for it.
    void placesChunks() {
        QFETCH(std::vector<Event>, events);
        QFETCH(qint64, stopMs);
        QFETCH(qint64, frames);
        TrackTimeline timeline(origin, rate);
        std::int64_t written = 0;
        for (const Event &event : events) {
            if (event.kind == Event::hole)
                timeline.placeSilence(event.frames);
            else {
                const std::int64_t arrivalMs = event.arrivalMs >= 0
                                                   ? event.arrivalMs
                                                   : event.atMs + event.frames * 1000 / rate;
                const TrackTimeline::Step step =
                    timeline.placeAudio(event.frames, origin + event.atMs * ms,
                                        origin + arrivalMs * ms, event.kind == Event::start);
                written += step.silence - step.skip;
            }
            written += event.frames;
        }
        written += timeline.padTo(origin + stopMs * ms);
        QCOMPARE(timeline.framesWritten(), written);
        QCOMPARE(static_cast<qint64>(written), frames);
    }

    // The chunks both tracks got on a user's machine, where the latency reports ran 142 ms off
    // after a slow start and the program was then stopped for 0.5 s: within each stream the
    // audio follows on without a frame of silence between chunks.
    void replayedStallWritesNoSilenceInsideAStream() {
        QFile log(QFINDTESTDATA("data/stall-chunks-app.log"));
        QVERIFY(log.open(QIODevice::ReadOnly | QIODevice::Text));
        std::map<QByteArray, TrackTimeline> tracks;
        std::map<QByteArray, std::int64_t> silence, chunks;
        std::optional<std::int64_t> firstCaptureNs;
        while (!log.atEnd()) {
            // CHUNK <track> audio frames=<n> cap=<ns> arr=<ns> start=<0|1> ...
            const QList<QByteArray> fields = log.readLine().simplified().split(' ');
            if (fields.size() < 7 || fields[0] != "CHUNK" || fields[2] != "audio")
                continue;
            const auto value = [&](int i) {
                return fields[i].mid(fields[i].indexOf('=') + 1).toLongLong();
            };
            firstCaptureNs = firstCaptureNs.value_or(value(4));
            const auto [track, first] = tracks.try_emplace(fields[1], *firstCaptureNs, rate);
            const std::int64_t placed =
                track->second.placeAudio(value(3), value(4), value(5), value(6) == 1).silence;
            if (!first)
                silence[fields[1]] += placed;
            ++chunks[fields[1]];
        }
        QCOMPARE(tracks.size(), std::size_t{2});
        for (const auto &[track, count] : chunks) {
            QVERIFY2(count > 400, track.constData());
            QCOMPARE(silence[track], std::int64_t{0});
        }
    }

    void longRecordingDoesNotDrift_data() {
        QTest::addColumn<double>("ppm");
        QTest::newRow("device 100 ppm fast") << 100.0;
        QTest::newRow("device 400 ppm slow") << -400.0;
    }

    // Two hours from a device whose clock runs off the steady clock, with capture times as
    // noisy as latency reports are: every chunk lands within 10 ms of when it was captured,
    // so two such tracks stay within 20 ms of each other, and no silence is made up for it.
    void longRecordingDoesNotDrift() {
        QFETCH(double, ppm);
        const double deviceRate = rate * (1.0 + ppm * 1e-6);
        std::mt19937 random(7);
        std::uniform_real_distribution<double> noiseMs(-3.0, 3.0);
        TrackTimeline timeline(origin, rate);
        constexpr std::int64_t chunk = 882;
        const std::int64_t chunks = 2 * 3600 * rate / chunk;
        double worstMs = 0.0;
        std::int64_t silence = 0;
        for (std::int64_t i = 0; i < chunks; ++i) {
            // Where the device's own sample count puts this chunk on the steady clock.
            const double capturedMs = static_cast<double>(i * chunk) / deviceRate * 1000.0;
            const auto reportedNs =
                origin + static_cast<std::int64_t>((capturedMs + noiseMs(random)) * ms);
            const std::int64_t before = timeline.framesWritten();
            const TrackTimeline::Step step =
                timeline.placeAudio(chunk, reportedNs, reportedNs + 20 * ms, i == 0);
            silence += step.silence;
            const double landsMs = static_cast<double>(before + step.silence) * 1000.0 / rate;
            worstMs = std::max(worstMs, std::abs(landsMs - capturedMs));
        }
        QCOMPARE(silence, 0);
        QVERIFY2(worstMs < 10.0, qPrintable(QStringLiteral("%1 ms off").arg(worstMs)));
        const double stopMs = static_cast<double>(chunks * chunk) / deviceRate * 1000.0;
        (void)timeline.padTo(origin + static_cast<std::int64_t>(stopMs * ms));
        const double lengthMs = static_cast<double>(timeline.framesWritten()) * 1000.0 / rate;
        QVERIFY2(
            std::abs(lengthMs - stopMs) < 10.0,
            qPrintable(QStringLiteral("%1 ms long, %2 ms recorded").arg(lengthMs).arg(stopMs)));
    }
};

QTEST_GUILESS_MAIN(TestTrackMixdown)
#include "tst_trackmixdown.moc"
