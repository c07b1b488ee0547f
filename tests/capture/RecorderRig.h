#pragma once
// A recorder on a private sound server, as the capture tests use it: the server with its
// devices, the recorder, the clock of the recording, and second names for the part files that
// keep their audio after the stop has removed the files themselves. Also the checks of the
// private folder that every recording test makes.

#include "AudioFiles.h"
#include "AudioProbe.h"
#include "AudioRecorder.h"
#include "SoundServer.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <memory>
#include <optional>

class RecorderRig {
public:
    explicit RecorderRig(SoundServer::Options options = {});

    // Starts a recording: empty when it runs, otherwise what the user would be told. Starts
    // the clock and keeps the part files that exist.
    QString start();
    // Seconds since the recording started.
    [[nodiscard]] double elapsed() const;
    // Stops the recording; `recorded` is then how long it ran.
    std::optional<RecordedAudio> stop();
    // A second name for `path` in a folder of the rig's, on the same file system (TMPDIR), so
    // the private folder's own entries can still be counted. Empty when it cannot be made.
    QString keep(const QString &path);

    std::unique_ptr<SoundServer> server;
    AudioRecorder recorder;
    QString sysKeep, micKeep; // empty for a part that did not exist at the start
    double recorded = 0.0;

private:
    QTemporaryDir m_kept;
    QElapsedTimer m_clock;
};

// Empty when the recorder starts a new recording; otherwise what the user would be told.
QString startFailure(AudioRecorder &recorder);
// The files in the private folder (or `folder`), sorted.
QStringList folderEntries(const QString &folder = AudioFiles::privateFolder());
// Each test starts from an empty private folder, so what it leaves there can be counted.
void emptyPrivateFolder();
// The permission bits of a file or folder; 0 when it cannot be read.
unsigned modeOf(const QString &path);

#define VERIFY_RUNNING(server) QVERIFY2((server).isRunning(), qPrintable((server).error()))

#define START_OK(rig)                                                                              \
    do {                                                                                           \
        VERIFY_RUNNING(*(rig).server);                                                             \
        const QString failure = (rig).start();                                                     \
        QVERIFY2(failure.isEmpty(), qPrintable(failure));                                          \
    } while (false)

// The file lasts as long as the recording did.
#define VERIFY_LENGTH(samples, recorded, tolerance)                                                \
    QVERIFY2(std::abs(AudioProbe::seconds(samples) - (recorded)) < (tolerance),                    \
             qPrintable(QStringLiteral("%1 s recorded, %2 s in the file")                          \
                            .arg(recorded)                                                         \
                            .arg(AudioProbe::seconds(samples))))
