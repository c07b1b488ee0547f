// Recording cost: CPU seconds per recorded minute while AudioRecorder records both sources,
// beside the ffmpeg command line capturing the same two sources from the same server into the
// same AAC settings. Both run against a private PulseAudio daemon fed with noisy tones.
// Usage: bench_recording_cost [seconds per run, default 60]

#include "AudioFiles.h"
#include "AudioRecorder.h"
#include "PulseServer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <random>
#include <sys/resource.h>

namespace {

// Keeps the event loop running, as the GUI thread would while a meeting is recorded.
void wait(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double cpuSecondsOfThisProcess() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A tone with noise on top, so the encoder does the work of real speech and music.
std::vector<float> noisyTone(double hz, double seconds, unsigned seed) {
    std::vector<float> samples = PulseServer::tone(hz, seconds, 0.3f);
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
    for (float &sample : samples)
        sample += noise(random);
    return samples;
}

QCoro::Task<> startInto(AudioRecorder *recorder, QString *failure) {
    try {
        co_await recorder->startRecording(AudioFiles::newRecordingId());
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

// The ffmpeg tool's own user + system time, as its parent shell reports it.
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
                       "< /dev/null; times")
            .arg(seconds)
            .arg(folder);
    QProcess shell;
    shell.start(QStringLiteral("bash"), {QStringLiteral("-c"), command});
    shell.waitForFinished(seconds * 1000 + 60000);
    // `times` prints the shell's own times, then its children's: "0m1.234s 0m0.123s".
    const QStringList lines =
        QString::fromUtf8(shell.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    if (shell.exitCode() != 0 || lines.size() < 2) {
        std::fprintf(stderr, "ffmpeg failed: %s\n", shell.readAllStandardError().constData());
        return -1.0;
    }
    double total = 0.0;
    for (const QString &field : lines.last().split(' ', Qt::SkipEmptyParts)) {
        const QString minutes = field.section('m', 0, 0);
        const QString rest = field.section('m', 1).chopped(1);
        total += minutes.toDouble() * 60.0 + rest.toDouble();
    }
    return total;
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
