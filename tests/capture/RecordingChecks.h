#pragma once
// What the capture tests share: starting a sound server and a recording, keeping its part files,
// measuring what the files hold.

#include "AudioFiles.h"
#include "AudioProbe.h"
#include "AudioRecorder.h"
#include "AudioRecorderError.h"
#include "PulseServer.h"
#include "TaskOutcome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace RecordingChecks {

inline const QString noServerText = QStringLiteral("Нет доступа к звуковому серверу. Проверьте, "
                                                   "что PulseAudio или PipeWire запущен, затем "
                                                   "перезапустите приложение");

inline QStringList folderEntries(const QString &folder = AudioFiles::privateFolder()) {
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

// Each test starts from an empty private folder, so what it leaves there can be counted.
inline void emptyPrivateFolder() {
    for (const QString &name : folderEntries())
        QFile::remove(AudioFiles::privateFolder() + QLatin1Char('/') + name);
}

inline unsigned modeOf(const QString &path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 0777;
}

// A second name for a part file, beside it or in `folder` (on the same file system): it keeps
// the finished content after the stop removes the part file's own name. Empty when it fails.
inline QString keep(const QString &path, const QString &folder = {}) {
    const QString copy = folder.isEmpty() ? path + QStringLiteral(".keep")
                                          : folder + QLatin1Char('/') + QFileInfo(path).fileName();
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

// Where a 0.5 beep at `hz` first sounds from `from` on, to the millisecond; -1 when it never
// does. Pitches of whole periods in 5 ms (1 and 2 kHz) do not leak into each other's measure.
inline double onsetOf(const std::vector<float> &samples, double hz, double from = 0.0) {
    for (double t = from; t + 0.005 <= seconds(samples); t += 0.001) {
        if (tone(samples, hz, t, t + 0.005) > 0.25)
            return t;
    }
    return -1.0;
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

#define VERIFY_NEAR(actual, expected, tolerance)                                                   \
    QVERIFY2(std::abs((actual) - (expected)) <= (tolerance),                                       \
             qPrintable(QStringLiteral("%1 is %2, expected %3 within %4")                          \
                            .arg(#actual)                                                          \
                            .arg(actual)                                                           \
                            .arg(expected)                                                         \
                            .arg(tolerance)))

// The file lasts as long as the recording did.
#define VERIFY_LENGTH(samples, recorded, tolerance)                                                \
    QVERIFY2(std::abs(RecordingChecks::seconds(samples) - (recorded)) < (tolerance),               \
             qPrintable(QStringLiteral("%1 s recorded, %2 s in the file")                          \
                            .arg(recorded)                                                         \
                            .arg(RecordingChecks::seconds(samples))))

// Index at the front, unfragmented: the service can read it without seeking to the end.
#define VERIFY_FASTSTART(path)                                                                     \
    do {                                                                                           \
        const QStringList boxes = AudioProbe::topLevelBoxes(path);                                 \
        QVERIFY2(boxes.indexOf("moov") >= 0 && boxes.indexOf("moov") < boxes.indexOf("mdat") &&    \
                     !boxes.contains("moof"),                                                      \
                 qPrintable(boxes.join(',')));                                                     \
    } while (false)

// A private sound server named `name`, with PulseServer's options if any.
#define START_SERVER(name, ...)                                                                    \
    PulseServer name{__VA_ARGS__};                                                                 \
    QVERIFY2(name.isRunning(), qPrintable(name.error()))

#define START_OK(recorder)                                                                         \
    do {                                                                                           \
        const QString failure = RecordingChecks::startFailure(recorder);                           \
        QVERIFY2(failure.isEmpty(), qPrintable(failure));                                          \
    } while (false)
