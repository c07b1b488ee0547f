#pragma once
// The view model with its seams, for the sign-in and recording flow tests.

#include "AppViewModel.h"
#include "ControlTestDoubles.h"
#include "M4aWriter.h"
#include "ScriptedRecorder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <random>

using namespace std::chrono_literals;

inline QByteArray contentsOf(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A view model on a scripted service, with an in-memory token store, a link opener that
// keeps the links, a scripted recorder and a recordings folder of its own.
struct Harness {
    ServiceScript script;
    TestHttpServer server;
    std::shared_ptr<MemoryTokenStore> store;
    std::shared_ptr<RecordingLinkOpener> links = std::make_shared<RecordingLinkOpener>();
    ScriptedRecorder recorder;
    QTemporaryDir folder;
    QTemporaryDir recordings; // where unsent recordings wait between launches
    // What launch() builds the view model from; a test may change it first.
    AppViewModel::Seams seams{server.baseUrl(), store, links, 50ms, &recorder, recordings.path()};
    std::unique_ptr<AppViewModel> vm;

    explicit Harness(std::optional<QString> storedToken = QStringLiteral("token-1"))
        : store(std::make_shared<MemoryTokenStore>(std::move(storedToken))) {
        server.setHandler(
            [this](const RecordedRequest &request) { return script.answer(request); });
    }

    // A signed-in view model on the idle screen.
    bool startIdle() {
        launch();
        return settlesOn(AppState::Case::idle);
    }

    // The program started (again) with what the recordings folder holds.
    void launch() { vm = makeViewModel(); }
    std::unique_ptr<AppViewModel> makeViewModel() { return std::make_unique<AppViewModel>(seams); }

    // A recording left behind by an earlier run: its manifest (unless null) and audio files,
    // each of random bytes unless it is a part, which gets a second of real audio.
    void leaveBehind(const QString &id, const QByteArray &manifest, const QStringList &files) {
        if (!manifest.isNull()) {
            QFile file(recordings.filePath(id + QStringLiteral(".json")));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(manifest) == manifest.size());
        }
        for (const QString &name : files) {
            if (name.startsWith(QStringLiteral("sys_")) ||
                name.startsWith(QStringLiteral("mic_"))) {
                M4aWriter part(recordings.filePath(name), M4aWriter::Layout::fragmented);
                part.write(std::vector<float>(2 * 44100, 0.25f));
                part.finish();
            } else {
                QVERIFY(QFile::rename(writeFile(name), recordings.filePath(name)));
            }
        }
    }

    QStringList recordingsLeft() const {
        return QDir(recordings.path()).entryList(QDir::Files | QDir::Hidden);
    }

    // A file of random bytes in the test's folder.
    QString writeFile(const QString &name, qsizetype size = 64 * 1024) {
        const QString path = folder.filePath(name);
        QByteArray bytes(size, Qt::Uninitialized);
        std::mt19937 random(size + name.size());
        for (char &byte : bytes)
            byte = static_cast<char>(random());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != size)
            return {};
        return path;
    }

    // A recording the recorder will hand back on stop.
    QString recordingFile(qsizetype size = 64 * 1024) {
        const QString path = writeFile(QStringLiteral("recording.m4a"), size);
        recorder.handBack(path);
        return path;
    }

    // The mix of the recording under way, where the real recorder puts it: in the recordings
    // folder, named by the recording's id. Gives its bytes.
    QByteArray mixInRecordingsFolder() {
        const QString mix = recordings.filePath(recorder.lastRecordingId + ".m4a");
        if (!QFile::rename(writeFile(QStringLiteral("mix.m4a")), mix))
            return {};
        recorder.handBack(mix);
        return contentsOf(mix);
    }

    // From idle to a running recording, with the start finished.
    bool startRecording() {
        vm->beginRecording();
        return settlesOn(AppState::Case::recording);
    }

    // Waits for the flow to come to rest on this screen.
    bool settlesOn(AppState::Case screen) {
        return QTest::qWaitFor([&] { return vm->stateCase() == screen && !vm->isBusy(); }, 15000);
    }

    int count(const QByteArray &pathPart) const { return requestsTo(server, pathPart).size(); }
    // Requests that create meetings or carry audio.
    int meetingRequests() const { return count("/api/meetings"); }
    QList<RecordedRequest> uploads() const { return requestsTo(server, "/audio"); }
};
