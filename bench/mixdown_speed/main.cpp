// Mixdown speed: mergeTracks on two 10-minute part files, beside the ffmpeg command line that
// does the same job (amix without normalization, AAC 128 kbit/s) on the same files.

#include "AudioFiles.h"
#include "M4aWriter.h"
#include "RecordingFiles.h"
#include "TrackMixdown.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>

namespace {

// A part file with a tone and some noise, so the encoder has real work to do.
void writePartFile(const QString &path, double hz, int seconds, unsigned seed) {
    M4aWriter writer(path, M4aWriter::Layout::fragmented);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
    std::vector<float> block(2 * 4410);
    for (std::int64_t start = 0; start < std::int64_t{seconds} * 44100; start += 4410) {
        for (size_t i = 0; i < 4410; ++i) {
            const float v =
                0.3f *
                static_cast<float>(std::sin(2 * std::numbers::pi * hz * double(start + i) / 44100));
            block[2 * i] = v + noise(random);
            block[2 * i + 1] = v + noise(random);
        }
        writer.write(block);
    }
    writer.finish();
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;

    const RecordingFiles files(AudioFiles::privateFolder(), RecordingFiles::newId());
    const QString sys = files.systemPart();
    const QString mic = files.microphonePart();
    std::printf("preparing two %d s part files...\n", seconds);
    writePartFile(sys, 440, seconds, 1);
    writePartFile(mic, 1000, seconds, 2);

    // The anchor runs first: a successful mix removes the part files it has mixed.
    QTemporaryDir scratch;
    const QString reference = scratch.filePath("reference.m4a");
    QElapsedTimer timer;
    timer.start();
    QProcess ffmpeg;
    ffmpeg.start("ffmpeg", {"-v", "error", "-nostdin", "-i", sys, "-i", mic, "-filter_complex",
                            "amix=inputs=2:duration=longest:normalize=0", "-c:a", "aac", "-b:a",
                            "128k", "-y", reference});
    ffmpeg.waitForFinished(-1);
    const double ffmpegSeconds = timer.nsecsElapsed() / 1e9;

    timer.restart();
    const std::int64_t frames = std::int64_t{seconds} * 44100;
    const RecordedAudio mixed =
        QCoro::waitFor(mergeTracks({{sys, CaptureTrack::system, frames, false},
                                    {mic, CaptureTrack::microphone, frames, false}}));
    const double oursSeconds = timer.nsecsElapsed() / 1e9;
    const bool mixedOk = mixed.loss == RecordedAudio::Loss::none;

    std::printf("mergeTracks: %.2f s wall for 2 x %d s (%s)\n", oursSeconds, seconds,
                mixedOk ? "mixed" : "FAILED");
    std::printf("ffmpeg amix (anchor): %.2f s wall, exit code %d\n", ffmpegSeconds,
                ffmpeg.exitCode());
    std::printf("ratio ours/ffmpeg: %.2f (target <= 1.00)\n", oursSeconds / ffmpegSeconds);

    for (const QString &path : QStringList{sys, mic, mixed.filePath} + mixed.partFiles)
        QFile::remove(path);
    return mixedOk && ffmpeg.exitCode() == 0 ? 0 : 1;
}
