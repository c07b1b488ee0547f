#pragma once
// What the tests of a real recording share: starting one, keeping its part files, measuring
// what the files hold.

#include "AudioFiles.h"
#include "AudioProbe.h"
#include "AudioRecorder.h"
#include "AudioRecorderError.h"
#include "TaskOutcome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <unistd.h>
#include <vector>

namespace RecordingChecks {

inline QStringList folderEntries() {
    return QDir(AudioFiles::privateFolder()).entryList(QDir::Files, QDir::Name);
}

// A second name for a part file: it keeps the finished content after the stop removes the
// part file's own name.
inline QString keep(const QString &path) {
    const QString copy = path + QStringLiteral(".keep");
    if (::link(QFile::encodeName(path).constData(), QFile::encodeName(copy).constData()) != 0)
        return QString();
    return copy;
}

// The length of interleaved stereo at 44100 Hz.
inline double seconds(const std::vector<float> &samples) {
    return static_cast<double>(samples.size()) / 2.0 / 44100.0;
}

inline double secondsOf(const QElapsedTimer &clock) {
    return static_cast<double>(clock.elapsed()) / 1000.0;
}

inline double tone(const std::vector<float> &samples, double hz, double from, double to) {
    return AudioProbe::toneAmplitude(samples, 0, hz, from, to);
}

// Empty when the recording starts; otherwise what the user would be told.
inline QString startFailure(AudioRecorder &recorder) {
    const TaskOutcome<void> outcome =
        runTask(recorder.startRecording(AudioFiles::newRecordingId()));
    if (outcome.succeeded())
        return {};
    const auto error = outcome.errorAs<AudioRecorderError>();
    return error ? error->localizedDescription() : QStringLiteral("not an AudioRecorderError");
}

} // namespace RecordingChecks

// The file lasts as long as the recording did.
#define VERIFY_LENGTH(samples, recorded, tolerance)                                                \
    QVERIFY2(std::abs(RecordingChecks::seconds(samples) - (recorded)) < (tolerance),               \
             qPrintable(QStringLiteral("%1 s recorded, %2 s in the file")                          \
                            .arg(recorded)                                                         \
                            .arg(RecordingChecks::seconds(samples))))

#define START_OK(recorder)                                                                         \
    do {                                                                                           \
        const QString failure = RecordingChecks::startFailure(recorder);                           \
        QVERIFY2(failure.isEmpty(), qPrintable(failure));                                          \
    } while (false)
