#include "RecorderRig.h"

#include "AudioRecorderError.h"
#include "TaskOutcome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

RecorderRig::RecorderRig(SoundServer::Options options)
    : server(startSoundServer(options)) {}

QString RecorderRig::start() {
    const QString failure = startFailure(recorder);
    m_clock.start();
    if (failure.isEmpty()) {
        sysKeep = keep(recorder.sysPath());
        micKeep = keep(recorder.micPath());
    }
    return failure;
}

double RecorderRig::elapsed() const {
    return static_cast<double>(m_clock.elapsed()) / 1000.0;
}

std::optional<RecordedAudio> RecorderRig::stop() {
    recorded = elapsed();
    return QCoro::waitFor(recorder.stopRecording());
}

QString RecorderRig::keep(const QString &path) {
    const QString copy = m_kept.filePath(QFileInfo(path).fileName());
    if (::link(QFile::encodeName(path).constData(), QFile::encodeName(copy).constData()) != 0)
        return QString();
    return copy;
}

QString startFailure(AudioRecorder &recorder) {
    const TaskOutcome<void> outcome =
        runTask(recorder.startRecording(AudioFiles::newRecordingId()));
    if (outcome.succeeded())
        return {};
    const auto error = outcome.errorAs<AudioRecorderError>();
    return error ? error->localizedDescription() : QStringLiteral("not an AudioRecorderError");
}

QStringList folderEntries(const QString &folder) {
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

void emptyPrivateFolder() {
    for (const QString &name : folderEntries())
        QFile::remove(AudioFiles::privateFolder() + QLatin1Char('/') + name);
}

unsigned modeOf(const QString &path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 0777;
}
