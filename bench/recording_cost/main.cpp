// Recording cost: CPU seconds per recorded minute while AudioRecorder records both sources,
// beside the ffmpeg command line capturing the same two sources from the same server into the
// same AAC settings. Both run against a private PulseAudio daemon fed with noisy tones.
// Usage: bench_recording_cost [seconds per run, default 60]

#include "AudioFiles.h"
#include "AudioRecorder.h"
#include "BenchSupport.h"
#include "PulseServer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>

namespace {

using namespace Bench;

// Keeps the event loop running, as the GUI thread would while a meeting is recorded.
void wait(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QCoro::Task<> startInto(AudioRecorder *recorder, QString *failure) {
    try {
        co_await recorder->startRecording({AudioFiles::privateFolder(), RecordingFiles::newId()});
    } catch (const std::exception &error) {
        *failure = QString::fromUtf8(error.what());
    }
}

double measureOurs(int seconds) {
    AudioRecorder recorder;
    QString failure;
    const double before = cpuSecondsOfThisProcess();
    QCoro::waitFor(startInto(&recorder, &failure));
    if (!failure.isEmpty()) {
        std::fprintf(stderr, "recorder did not start: %s\n", qPrintable(failure));
        return -1.0;
    }
    wait(seconds * 1000);
    // Read before the stop: the stop runs the mixdown, which has its own benchmark. What the
    // stop still encodes is the last few milliseconds.
    const double after = cpuSecondsOfThisProcess();
    const std::optional<RecordedAudio> result = QCoro::waitFor(recorder.stopRecording());
    if (result) {
        for (const QString &path : QStringList{result->filePath} + result->partFiles)
            QFile::remove(path);
    }
    return after - before;
}

// The ffmpeg tool's own user + system time.
double measureFfmpeg(int seconds, const QString &folder) {
    const QString command =
        QStringLiteral("ffmpeg -v error -y "
                       "-f pulse -fragment_size 7056 -i speakers.monitor "
                       "-f pulse -fragment_size 7056 -i mic "
                       "-map 0 -t %1 -c:a aac -b:a 128k -ar 44100 -ac 2 "
                       "-movflags empty_moov+default_base_moof -frag_duration 1000000 "
                       "-flush_packets 1 -f ipod %2/sys.m4a "
                       "-map 1 -t %1 -c:a aac -b:a 128k -ar 44100 -ac 2 "
                       "-movflags empty_moov+default_base_moof -frag_duration 1000000 "
                       "-flush_packets 1 -f ipod %2/mic.m4a "
                       "< /dev/null")
            .arg(seconds)
            .arg(folder);
    return childCpuSeconds(command, seconds * 1000 + 60000);
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    PulseServer server;
    if (!server.isRunning()) {
        std::fprintf(stderr, "no sound server: %s\n", qPrintable(server.error()));
        return 1;
    }
    // Other work on the machine only ever adds CPU time, so each side runs twice, alternating,
    // and its smaller figure counts.
    constexpr int rounds = 2;
    // Every run hears the same program material for its whole length.
    const double playSeconds = 2.0 * rounds * seconds + 10.0;
    server.play(PulseServer::speakers, noisyTone(440, playSeconds, 1));
    server.play(PulseServer::micSink, noisyTone(1000, playSeconds, 2));
    wait(500);

    std::printf("recording both sources for %d s, %d times with each...\n", seconds, rounds);
    std::fflush(stdout);
    double ours = 1e9, ffmpeg = 1e9;
    QTemporaryDir scratch;
    for (int round = 0; round < rounds; ++round) {
        const double oursNow = measureOurs(seconds);
        const double ffmpegNow = measureFfmpeg(seconds, scratch.path());
        if (oursNow < 0 || ffmpegNow < 0)
            return 1;
        ours = std::min(ours, oursNow);
        ffmpeg = std::min(ffmpeg, ffmpegNow);
    }
    const double perMinute = 60.0 / seconds;
    std::printf("recording cost, CPU seconds per recorded minute (both sources, AAC 128 kbit/s):\n"
                "  AudioRecorder: %.2f\n  ffmpeg -f pulse (anchor): %.2f\n  ratio: %.2f\n",
                ours * perMinute, ffmpeg * perMinute, ours / ffmpeg);
    return 0;
}
