#pragma once
// A recorder on a private sound server, as the capture tests use it: the server, the recorder,
// the recording's clock, and second names that keep the part files' audio after the stop has
// removed the files. Also the private folder's checks that every recording test makes.

#include "AudioFileError.h"
#include "AudioFiles.h"
#include "AudioProbe.h"
#include "AudioRecorder.h"
#include "AudioRecorderError.h"
#include "SoundServer.h"
#include "TaskOutcome.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <filesystem>

#include <sys/stat.h>

// Empty when the recorder starts a new recording; otherwise what the user would be told.
inline QString startFailure(AudioRecorder &recorder) {
    const auto outcome =
        runTask(recorder.startRecording({AudioFiles::privateFolder(), RecordingFiles::newId()}));
    if (outcome.succeeded())
        return {};
    if (const auto error = outcome.errorAs<AudioRecorderError>())
        return error->localizedDescription();
    const auto error = outcome.errorAs<AudioFileError>();
    return error ? error->localizedDescription() : QStringLiteral("not the recorder's error");
}

class RecorderRig {
public:
    explicit RecorderRig(SoundServer::Options options = {}, AudioRecorder::DiskRoom room = {})
        : server(startSoundServer(options))
        , recorder(nullptr, AudioRecorder::defaultSilenceWindow, room) {}

    // Starts a recording: empty when it runs, otherwise what the user would be told. Starts
    // the clock and keeps the part files that exist.
    QString start() {
        const QString failure = startFailure(recorder);
        m_clock.start();
        sysKeep = keep(recorder.sysPath());
        micKeep = keep(recorder.micPath());
        return failure;
    }
    // Seconds since the recording started.
    [[nodiscard]] double elapsed() const { return static_cast<double>(m_clock.elapsed()) / 1000; }
    // Stops the recording; `recorded` is then how long it ran.
    std::optional<RecordedAudio> stop() {
        recorded = elapsed();
        return QCoro::waitFor(recorder.stopRecording());
    }
    // A second name for `path` in a folder of the rig's, on the same file system (TMPDIR), so
    // the private folder's own entries can still be counted. Empty when it cannot be made.
    QString keep(const QString &path) {
        const QString copy = m_kept.filePath(QFileInfo(path).fileName());
        std::error_code failed;
        std::filesystem::create_hard_link(path.toStdString(), copy.toStdString(), failed);
        return failed ? QString() : copy;
    }

    std::unique_ptr<SoundServer> server;
    AudioRecorder recorder;
    QString sysKeep, micKeep; // empty for a part that did not exist at the start
    double recorded = 0.0;

private:
    QTemporaryDir m_kept;
    QElapsedTimer m_clock;
};

// The files in the private folder (or `folder`), sorted.
inline QStringList folderEntries(const QString &folder = AudioFiles::privateFolder()) {
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}
// Each test starts from an empty private folder, so what it leaves there can be counted.
inline void emptyPrivateFolder() {
    for (const QString &name : folderEntries())
        QFile::remove(AudioFiles::privateFolder() + QLatin1Char('/') + name);
}
// The permission bits of a file or folder; 0 when it cannot be read.
inline unsigned modeOf(const QString &path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 0777 : 0;
}

#define VERIFY_RUNNING(server) QVERIFY2((server).isRunning(), qPrintable((server).error()))

#define START_OK(rig)                                                                              \
    do {                                                                                           \
        VERIFY_RUNNING(*(rig).server);                                                             \
        const QString failure = (rig).start();                                                     \
        QVERIFY2(failure.isEmpty(), qPrintable(failure));                                          \
    } while (false)
