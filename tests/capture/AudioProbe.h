#pragma once
// Test helpers that look at audio files from the outside: FFmpeg's command-line tools decode
// and describe them, so the program's own reader is never the judge of its own writer.

#include <QJsonObject>
#include <QString>

#include <vector>

namespace AudioProbe {

// Interleaved stereo float samples at 44100 Hz, decoded by the ffmpeg tool; empty when the
// file cannot be decoded at all.
std::vector<float> decode(const QString &path);

// The first audio stream's description from ffprobe (codec_name, profile, sample_rate,
// channels, bit_rate, duration...); empty when there is none.
QJsonObject audioStream(const QString &path);
// "<codec> <profile> <rate> Hz <channels> ch" of the first audio stream.
QString format(const QString &path);

// Amplitude of a sine at `hz` on one channel over [fromSecond, toSecond), by Goertzel's
// algorithm: a full-scale sine gives about 1.0, silence 0.
double toneAmplitude(const std::vector<float> &interleaved, int channel, double hz,
                     double fromSecond, double toSecond);

// Writes a part file like the recorder does: a stereo sine, fragmented M4A.
void writeTone(const QString &path, double hz, double seconds, float amplitude);

// Top-level MP4 box types in file order ("ftyp", "moov", "mdat", ...).
QStringList topLevelBoxes(const QString &path);
// The byte offsets of the top-level boxes of `type`.
QList<qint64> boxOffsets(const QString &path, const QByteArray &type);

} // namespace AudioProbe
