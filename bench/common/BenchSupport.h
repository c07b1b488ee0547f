#pragma once
// What the benchmarks share: generated program material, and the CPU time of this process and of
// the ffmpeg command lines they are measured against.

#include <QProcess>
#include <QStringList>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <vector>

#include <sys/resource.h>

namespace Bench {

inline double cpuSecondsOfThisProcess() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs a bash command line; its children's user + system CPU seconds, or -1 when it failed.
// Gives up after `timeoutMs` (-1: never).
inline double childCpuSeconds(const QString &command, int timeoutMs = -1) {
    QProcess shell;
    shell.start(QStringLiteral("bash"),
                {QStringLiteral("-c"), command + QStringLiteral("; times")});
    shell.waitForFinished(timeoutMs);
    // `times` prints the shell's own times, then its children's: "0m1.234s 0m0.123s".
    const QStringList lines =
        QString::fromUtf8(shell.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    if (shell.exitCode() != 0 || lines.size() < 2) {
        std::fprintf(stderr, "ffmpeg failed: %s\n", shell.readAllStandardError().constData());
        return -1.0;
    }
    double total = 0.0;
    for (const QString &field : lines.last().split(' ', Qt::SkipEmptyParts))
        total += field.section('m', 0, 0).toDouble() * 60.0 +
                 field.section('m', 1).chopped(1).toDouble();
    return total;
}

// Interleaved stereo at 44100 Hz: a tone with noise on top, so the encoder does the work of real
// speech and music.
inline std::vector<float> noisyTone(double hz, double seconds, unsigned seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
    std::vector<float> samples(static_cast<std::size_t>(seconds * 44100) * 2);
    for (std::size_t frame = 0; frame < samples.size() / 2; ++frame) {
        const auto v = 0.3f * static_cast<float>(std::sin(2 * std::numbers::pi * hz *
                                                          static_cast<double>(frame) / 44100));
        samples[2 * frame] = v + noise(random);
        samples[2 * frame + 1] = v + noise(random);
    }
    return samples;
}

} // namespace Bench
