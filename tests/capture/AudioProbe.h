#pragma once
// Test helpers that look at audio files from the outside: FFmpeg's command-line tools decode
// and describe them, so the program's own reader is never the judge of its own writer.

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>
#include <vector>

namespace AudioProbe {

// Interleaved stereo float samples at 44100 Hz, decoded by the ffmpeg tool; empty when the
// file cannot be decoded at all.
std::vector<float> decode(const QString &path);
// Top-level MP4 boxes in file order: type and byte offset.
QList<std::pair<QByteArray, qint64>> boxes(const QString &path);
// Index at the front, unfragmented: the service can read it without seeking to the end.
bool faststart(const QString &path);

// Amplitude of a sine at `hz` on the left channel over [from, to) seconds, by Goertzel's
// algorithm: a full-scale sine gives about 1.0, silence 0.
double tone(const std::vector<float> &interleaved, double hz, double from, double to);
// Where a 0.5 beep at `hz` first sounds from `from` on, to the millisecond; -1 when it never
// does. Pitches of whole periods in 5 ms (1 and 2 kHz) do not leak into each other's measure.
double onsetOf(const std::vector<float> &interleaved, double hz, double from = 0.0);
// The length of interleaved stereo at 44100 Hz.
double seconds(const std::vector<float> &interleaved);
// The largest error left in any 5 ms window (stepping by half a window) over [from, to) once
// sines at `hz` are fitted out of the left channel, as RMS: a run of silence, a click or a jump
// of phase inside a steady tone shows as a peak far above the codec's own.
double worstResidual(const std::vector<float> &interleaved, const std::vector<double> &hz,
                     double from, double to);
// `interleaved` as it sounds after the ffmpeg tool's AAC encoder at the recorder's settings.
std::vector<float> throughAac(const std::vector<float> &interleaved);

} // namespace AudioProbe

#define VERIFY_NEAR(actual, expected, tolerance)                                                   \
    QVERIFY2(std::abs((actual) - (expected)) <= (tolerance),                                       \
             qPrintable(QStringLiteral("%1 is %2, expected %3 within %4")                          \
                            .arg(#actual)                                                          \
                            .arg(actual)                                                           \
                            .arg(expected)                                                         \
                            .arg(tolerance)))
