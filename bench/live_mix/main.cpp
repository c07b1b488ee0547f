// Live mix: how long the stop takes until the mixed file is ready, and the CPU a recorded minute
// costs from capture to mixed file, when the mix is made while recording, beside the same parts
// mixed at the stop (mergeTracks) and the ffmpeg command lines doing the same jobs.
// The encoder is fed generated audio (a noisy tone per source, in 20 ms chunks as the sound
// server delivers them) as fast as it takes it; at the stop nothing waits to be encoded, as in
// a real recording, where the encoder keeps up with the sound.
// Usage: bench_live_mix [minutes...]   (default: 10 60; the CPU figures come from the first)

#include "AudioFiles.h"
#include "BenchSupport.h"
#include "CaptureEncoder.h"
#include "LiveMix.h"
#include "RecordingFiles.h"
#include "TrackMixdown.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <thread>

#include <unistd.h>

namespace {

using namespace Bench;

constexpr int rate = 44100;
constexpr std::int64_t chunkFrames = 882;     // 20 ms
constexpr int loopSeconds = 60;               // whole periods of either tone
constexpr std::int64_t queueAhead = 4 * rate; // frames of both tracks let ahead of the encoder

bool writeRaw(const QString &path, const std::vector<float> &samples) {
    QFile file(path);
    const auto bytes = static_cast<qint64>(samples.size() * sizeof(float));
    return file.open(QIODevice::WriteOnly) &&
           file.write(reinterpret_cast<const char *>(samples.data()), bytes) == bytes;
}

// A second name for a finished part, so the same audio can be mixed again after the first mix
// removed it.
QString linkAs(const QString &path, RecordingFiles::Kind kind, const QString &id) {
    const QString other = RecordingFiles(AudioFiles::privateFolder(), id).path(kind);
    return ::link(QFile::encodeName(path).constData(), QFile::encodeName(other).constData()) == 0
               ? other
               : QString();
}

struct LiveRun {
    double stopSeconds = -1.0;        // finish() and the packet copy
    double finishSeconds = 0.0;       // finish() alone: the encoder's end, the same for any mix
    double cpuSeconds = 0.0;          // from the first chunk to the mixed file
    std::vector<PartTrack> keptParts; // the same parts under another recording's names
    QString mixedPath;
};

// Records `minutes` through the encoder with a live mix and stops.
LiveRun recordLive(int minutes, const std::vector<float> &sysLoop,
                   const std::vector<float> &micLoop) {
    LiveRun run;
    const RecordingFiles files(AudioFiles::privateFolder(), RecordingFiles::newId());
    const QString sys = files.systemPart();
    const QString mic = files.microphonePart();
    const QString live = files.liveMix();
    const std::int64_t origin = 1'000'000'000;
    const std::int64_t total = std::int64_t{minutes} * 60 * rate;
    const std::int64_t loopFrames = std::int64_t{loopSeconds} * rate;

    const double cpuBefore = cpuSecondsOfThisProcess();
    CaptureEncoder encoder(TrackEncoder(sys, nullptr, origin), TrackEncoder(mic, nullptr, origin),
                           std::make_unique<LiveMix>(live));
    for (std::int64_t first = 0; first < total; first += chunkFrames) {
        while (encoder.pendingFrames() > queueAhead)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const std::int64_t frames = std::min(chunkFrames, total - first);
        const std::int64_t at = first % loopFrames;
        for (const CaptureTrack track : {CaptureTrack::system, CaptureTrack::microphone}) {
            const std::vector<float> &loop = track == CaptureTrack::system ? sysLoop : micLoop;
            CaptureChunk chunk;
            chunk.track = track;
            chunk.frames = frames;
            chunk.captureNs = origin + first * 1'000'000'000 / rate;
            chunk.streamStart = first == 0;
            // Chunks never straddle the loop's end: 882 divides a minute of frames.
            chunk.samples.assign(loop.begin() + at * 2, loop.begin() + (at + frames) * 2);
            encoder.push(std::move(chunk));
        }
    }
    while (encoder.pendingFrames() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    QElapsedTimer clock;
    clock.start();
    const CaptureReport report = encoder.finish(origin + total * 1'000'000'000 / rate).result();
    run.finishSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    if (!report.liveMix.complete) {
        std::fprintf(stderr, "the live mix did not complete\n");
        return run;
    }
    const std::vector<PartTrack> parts{
        {sys, CaptureTrack::system, report.system.framesWritten, false},
        {mic, CaptureTrack::microphone, report.microphone.framesWritten, false}};
    const QString otherId = RecordingFiles::newId();
    run.keptParts = {{linkAs(sys, RecordingFiles::Kind::systemPart, otherId), CaptureTrack::system,
                      report.system.framesWritten, false},
                     {linkAs(mic, RecordingFiles::Kind::microphonePart, otherId),
                      CaptureTrack::microphone, report.microphone.framesWritten, false}};

    clock.restart();
    const RecordedAudio mixed =
        QCoro::waitFor(mergeTracks(parts, LiveMixFile{live, report.liveMix.framesWritten}));
    const double copySeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    run.cpuSeconds = cpuSecondsOfThisProcess() - cpuBefore;
    if (mixed.loss != RecordedAudio::Loss::none || QFile::exists(live)) {
        std::fprintf(stderr, "the live mix was not made into the recording\n");
        return run;
    }
    run.stopSeconds = run.finishSeconds + copySeconds;
    run.mixedPath = mixed.filePath;
    return run;
}

// The part files' own format, as the recorder writes them.
const QString partFormat = QStringLiteral("-c:a aac -b:a 128k -movflags "
                                          "empty_moov+default_base_moof -frag_duration 1000000 "
                                          "-flush_packets 1 -f ipod");

QString amixCommand(const QString &sys, const QString &mic, const QString &out) {
    return QStringLiteral("ffmpeg -v error -nostdin -y -i %1 -i %2 -filter_complex "
                          "amix=inputs=2:duration=longest:normalize=0 -c:a aac -b:a 128k "
                          "-movflags +faststart %3")
        .arg(sys, mic, out);
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    std::vector<int> lengths;
    for (int i = 1; i < argc; ++i)
        lengths.push_back(std::atoi(argv[i]));
    if (lengths.empty())
        lengths = {10, 60};

    const std::vector<float> sysLoop = noisyTone(440, loopSeconds, 1),
                             micLoop = noisyTone(1000, loopSeconds, 2);
    QTemporaryDir scratch;
    bool ok = true;
    double liveCpuPerMinute = -1.0, mergeCpuPerMinute = -1.0, ffmpegCpuPerMinute = -1.0;
    for (const int minutes : lengths) {
        std::printf("recording %d min of generated audio through the encoder...\n", minutes);
        std::fflush(stdout);
        LiveRun live = recordLive(minutes, sysLoop, micLoop);
        if (live.stopSeconds < 0 || live.keptParts[0].path.isEmpty()) {
            ok = false;
            continue;
        }
        // The anchor runs first: a successful mix removes the part files it has mixed.
        const QString reference = scratch.filePath(QStringLiteral("reference.m4a"));
        QElapsedTimer clock;
        clock.start();
        const double amixCpu =
            childCpuSeconds(amixCommand(live.keptParts[0].path, live.keptParts[1].path, reference));
        const double amixSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;

        const double cpuBefore = cpuSecondsOfThisProcess();
        clock.restart();
        const RecordedAudio offline = QCoro::waitFor(mergeTracks(live.keptParts));
        const double mergeSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        const double mergeCpu = cpuSecondsOfThisProcess() - cpuBefore;
        ok = ok && offline.loss == RecordedAudio::Loss::none && amixCpu >= 0;

        std::printf("stop to file ready, %d min, live mix: %.2f s (the encoder's end %.2f s, "
                    "then the packet copy)\n",
                    minutes, live.stopSeconds, live.finishSeconds);
        std::printf("stop to file ready, %d min, mergeTracks: %.2f s (the same end, then the "
                    "mix)\n",
                    minutes, live.finishSeconds + mergeSeconds);
        std::printf("stop to file ready, %d min, ffmpeg amix (anchor): %.2f s\n", minutes,
                    amixSeconds);
        std::fflush(stdout);

        if (liveCpuPerMinute < 0) {
            // Both sources encoded by ffmpeg from the same generated audio, then mixed.
            const QString sysRaw = scratch.filePath(QStringLiteral("sys.raw"));
            const QString micRaw = scratch.filePath(QStringLiteral("mic.raw"));
            if (!writeRaw(sysRaw, sysLoop) || !writeRaw(micRaw, micLoop)) {
                ok = false;
                continue;
            }
            const QString input = QStringLiteral("-stream_loop -1 -f f32le -ar 44100 -ac 2 -i %1");
            const QString output =
                QStringLiteral(" -map %1 -t %2 ") + partFormat + QStringLiteral(" %3");
            const QString sysOut = scratch.filePath(QStringLiteral("sys.m4a"));
            const QString micOut = scratch.filePath(QStringLiteral("mic.m4a"));
            const QString encodeBoth = QStringLiteral("ffmpeg -v error -nostdin -y ") +
                                       input.arg(sysRaw) + ' ' + input.arg(micRaw) +
                                       output.arg(0).arg(minutes * 60).arg(sysOut) +
                                       output.arg(1).arg(minutes * 60).arg(micOut);
            std::printf("encoding both sources of %d min with ffmpeg...\n", minutes);
            std::fflush(stdout);
            const double encodeCpu = childCpuSeconds(encodeBoth);
            const double mixCpu = childCpuSeconds(amixCommand(sysOut, micOut, reference));
            if (encodeCpu < 0 || mixCpu < 0) {
                ok = false;
                continue;
            }
            liveCpuPerMinute = live.cpuSeconds / minutes;
            mergeCpuPerMinute = mergeCpu / minutes;
            ffmpegCpuPerMinute = (encodeCpu + mixCpu) / minutes;
            std::printf("CPU per recorded minute, record and mix, live mix: %.2f s\n",
                        liveCpuPerMinute);
            std::printf("CPU per recorded minute, ffmpeg encoding both sources, then amix "
                        "(anchor): %.2f s (%.2f + %.2f)\n",
                        ffmpegCpuPerMinute, encodeCpu / minutes, mixCpu / minutes);
            std::printf("CPU ratio live/ffmpeg: %.2f (target <= 1.00)\n",
                        liveCpuPerMinute / ffmpegCpuPerMinute);
            std::printf("  for comparison, mergeTracks at the stop alone: %.2f s per minute\n",
                        mergeCpuPerMinute);
        }
        for (const QString &path :
             QStringList{live.mixedPath, offline.filePath, reference} + offline.partFiles)
            QFile::remove(path);
    }
    return ok ? 0 : 1;
}
