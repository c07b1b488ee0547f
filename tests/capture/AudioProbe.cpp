#include "AudioProbe.h"

#include <QFile>
#include <QProcess>
#include <QtEndian>

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

} // namespace AudioProbe
