#include "AudioProbe.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace AudioProbe {

std::vector<float> decode(const QString &path) {
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-v", "error", "-i", path, "-map", "0:a:0", "-f",
                                            "f32le", "-ac", "2", "-ar", "44100", "-"});
    if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitCode() != 0)
        return {};
    const QByteArray raw = ffmpeg.readAllStandardOutput();
    std::vector<float> samples(static_cast<size_t>(raw.size()) / sizeof(float));
    std::memcpy(samples.data(), raw.constData(), samples.size() * sizeof(float));
    return samples;
}

QList<std::pair<QByteArray, qint64>> boxes(const QString &path) {
    QList<std::pair<QByteArray, qint64>> found;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return found;
    for (qint64 offset = 0; offset + 8 <= file.size();) {
        file.seek(offset);
        const QByteArray header = file.read(16);
        quint64 size = qFromBigEndian<quint32>(header.constData());
        if (size == 1 && header.size() == 16)
            size = qFromBigEndian<quint64>(header.constData() + 8);
        found.append({header.mid(4, 4), offset});
        if (size < 8)
            break;
        offset += static_cast<qint64>(size);
    }
    return found;
}

bool faststart(const QString &path) {
    QByteArrayList types;
    for (const auto &box : boxes(path))
        types << box.first;
    return types.indexOf("moov") >= 0 && types.indexOf("moov") < types.indexOf("mdat") &&
           !types.contains("moof");
}

double tone(const std::vector<float> &interleaved, double hz, double fromSecond, double toSecond) {
    const size_t frames = interleaved.size() / 2;
    const size_t from = std::min(frames, static_cast<size_t>(std::max(0.0, fromSecond) * 44100));
    const size_t to = std::min(frames, static_cast<size_t>(std::max(0.0, toSecond) * 44100));
    if (to <= from)
        return 0.0;
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * hz / 44100.0);
    double previous = 0.0, beforePrevious = 0.0;
    for (size_t i = from; i < to; ++i) {
        const double current = interleaved[i * 2] + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    const double power = previous * previous + beforePrevious * beforePrevious -
                         coefficient * previous * beforePrevious;
    return 2.0 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(to - from);
}

double onsetOf(const std::vector<float> &interleaved, double hz, double from) {
    for (double t = from; t + 0.005 <= seconds(interleaved); t += 0.001) {
        if (tone(interleaved, hz, t, t + 0.005) > 0.25)
            return t;
    }
    return -1.0;
}

double seconds(const std::vector<float> &interleaved) {
    return static_cast<double>(interleaved.size()) / 2.0 / 44100.0;
}

double worstResidual(const std::vector<float> &interleaved, const std::vector<double> &hz,
                     double fromSecond, double toSecond) {
    constexpr std::size_t window = 220; // 5 ms
    const std::size_t params = 2 * hz.size();
    const auto last = std::min(interleaved.size() / 2, static_cast<std::size_t>(toSecond * 44100));
    double worst = 0.0;
    for (auto start = static_cast<std::size_t>(std::max(0.0, fromSecond) * 44100);
         start + window <= last; start += window / 2) {
        // Least squares over a sine and a cosine per pitch: normal equations, then elimination.
        std::vector<std::vector<double>> m(params, std::vector<double>(params + 1, 0.0));
        std::vector<double> basis(params);
        const auto fill = [&](std::size_t i) {
            for (std::size_t k = 0; k < hz.size(); ++k) {
                const double phase =
                    2.0 * std::numbers::pi * hz[k] * static_cast<double>(i) / 44100;
                basis[2 * k] = std::sin(phase);
                basis[2 * k + 1] = std::cos(phase);
            }
        };
        for (std::size_t i = start; i < start + window; ++i) {
            fill(i);
            for (std::size_t r = 0; r < params; ++r) {
                for (std::size_t c = 0; c < params; ++c)
                    m[r][c] += basis[r] * basis[c];
                m[r][params] += basis[r] * interleaved[i * 2];
            }
        }
        for (std::size_t p = 0; p < params; ++p)
            for (std::size_t r = 0; r < params; ++r)
                if (r != p) {
                    const double f = m[r][p] / m[p][p];
                    for (std::size_t c = p; c <= params; ++c)
                        m[r][c] -= f * m[p][c];
                }
        double energy = 0.0;
        for (std::size_t i = start; i < start + window; ++i) {
            fill(i);
            double fitted = 0.0;
            for (std::size_t r = 0; r < params; ++r)
                fitted += basis[r] * m[r][params] / m[r][r];
            energy += std::pow(interleaved[i * 2] - fitted, 2);
        }
        worst = std::max(worst, std::sqrt(energy / window));
    }
    return worst;
}

std::vector<float> throughAac(const std::vector<float> &interleaved) {
    QTemporaryDir dir;
    QFile raw(dir.filePath(QStringLiteral("in.raw")));
    if (!raw.open(QIODevice::WriteOnly))
        return {};
    raw.write(reinterpret_cast<const char *>(interleaved.data()),
              static_cast<qint64>(interleaved.size() * sizeof(float)));
    raw.close();
    const QString encoded = dir.filePath(QStringLiteral("out.m4a"));
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-v", "error", "-f", "f32le", "-ar", "44100", "-ac", "2", "-i", raw.fileName(),
                  "-c:a", "aac", "-b:a", "128k", encoded});
    if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitCode() != 0)
        return {};
    return decode(encoded);
}

} // namespace AudioProbe
