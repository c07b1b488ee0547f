#include "AudioProbe.h"

#include "M4aWriter.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
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

QJsonObject audioStream(const QString &path) {
    QProcess ffprobe;
    ffprobe.start(QStringLiteral("ffprobe"),
                  {"-v", "error", "-select_streams", "a:0", "-show_streams", "-of", "json", path});
    if (!ffprobe.waitForFinished(60000) || ffprobe.exitCode() != 0)
        return {};
    const QJsonArray streams =
        QJsonDocument::fromJson(ffprobe.readAllStandardOutput()).object()["streams"].toArray();
    return streams.isEmpty() ? QJsonObject() : streams.first().toObject();
}

QString format(const QString &path) {
    const QJsonObject stream = audioStream(path);
    return QStringLiteral("%1 %2 %3 Hz %4 ch")
        .arg(stream["codec_name"].toString(), stream["profile"].toString(),
             stream["sample_rate"].toString())
        .arg(stream["channels"].toInt());
}

double toneAmplitude(const std::vector<float> &interleaved, int channel, double hz,
                     double fromSecond, double toSecond) {
    const size_t frames = interleaved.size() / 2;
    const size_t from = std::min(frames, static_cast<size_t>(fromSecond * 44100));
    const size_t to = std::min(frames, static_cast<size_t>(toSecond * 44100));
    if (to <= from)
        return 0.0;
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * hz / 44100.0);
    double previous = 0.0, beforePrevious = 0.0;
    for (size_t i = from; i < to; ++i) {
        const double current = interleaved[i * 2 + static_cast<size_t>(channel)] +
                               coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    const double power = previous * previous + beforePrevious * beforePrevious -
                         coefficient * previous * beforePrevious;
    return 2.0 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(to - from);
}

void writeTone(const QString &path, double hz, double seconds, float amplitude) {
    M4aWriter writer(path, M4aWriter::Layout::fragmented);
    const int total = static_cast<int>(seconds * 44100);
    std::vector<float> block;
    for (int start = 0; start < total; start += 4410) {
        block.clear();
        for (int i = start; i < std::min(total, start + 4410); ++i) {
            const float v =
                amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * hz * i / 44100.0));
            block.push_back(v);
            block.push_back(v);
        }
        writer.write(block);
    }
    writer.finish();
}

// Calls `visit` with each top-level box's type and byte offset, in file order.
template <typename Visit> void walkBoxes(const QString &path, Visit visit) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    for (qint64 offset = 0; offset + 8 <= file.size();) {
        file.seek(offset);
        const QByteArray header = file.read(16);
        quint64 size = qFromBigEndian<quint32>(header.constData());
        if (size == 1 && header.size() == 16)
            size = qFromBigEndian<quint64>(header.constData() + 8);
        visit(header.mid(4, 4), offset);
        if (size < 8)
            break;
        offset += static_cast<qint64>(size);
    }
}

QStringList topLevelBoxes(const QString &path) {
    QStringList boxes;
    walkBoxes(path, [&](const QByteArray &type, qint64) { boxes << QString::fromLatin1(type); });
    return boxes;
}

QList<qint64> boxOffsets(const QString &path, const QByteArray &type) {
    QList<qint64> offsets;
    walkBoxes(path, [&](const QByteArray &box, qint64 offset) {
        if (box == type)
            offsets << offset;
    });
    return offsets;
}

} // namespace AudioProbe
