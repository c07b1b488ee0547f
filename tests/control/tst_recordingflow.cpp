// The recording and upload flow against a scripted service on loopback, with a recorder that
// does what each test tells it.

#include "AppViewModel.h"
#include "AuthBridge.h"
#include "ControlTestDoubles.h"
#include "M4aWriter.h"
#include "RecordingArchive.h"
#include "ScriptedRecorder.h"

#include <QDir>

#include <QElapsedTimer>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <random>

using namespace std::chrono_literals;

namespace {

const QByteArray meetingsPath = "/api/meetings";
const QByteArray profilePath = "/api/auth/me";
const QString notFoundText = QStringLiteral("Файл записи не найден");
const QString noServerText = QStringLiteral("Нет доступа к звуковому серверу. Проверьте, что "
                                            "PulseAudio или PipeWire запущен, затем "
                                            "перезапустите приложение");

struct Harness {
    ServiceScript script;
    TestHttpServer server;
    std::shared_ptr<MemoryTokenStore> store =
        std::make_shared<MemoryTokenStore>(QStringLiteral("token-1"));
    ScriptedRecorder recorder;
    QTemporaryDir folder;
    QTemporaryDir recordings; // where unsent recordings wait between launches
    std::unique_ptr<AppViewModel> vm;

    Harness() {
        server.setHandler(
            [this](const RecordedRequest &request) { return script.answer(request); });
    }

    // A signed-in view model on the idle screen.
    bool startIdle() {
        launch();
        return QTest::qWaitFor([&] { return vm->stateCase() == AppState::Case::idle; });
    }

    // The program started (again) with what the recordings folder holds.
    void launch() {
        vm = std::make_unique<AppViewModel>(
            AppViewModel::Seams{server.baseUrl(), store, std::make_shared<RecordingLinkOpener>(),
                                50ms, &recorder, recordings.path()});
    }

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

    // From idle to a running recording, with the start finished.
    bool startRecording() {
        vm->beginRecording();
        return QTest::qWaitFor(
            [&] { return vm->stateCase() == AppState::Case::recording && !vm->isBusy(); });
    }

    // Records, stops, and waits for the upload to fail as the script says.
    bool recordUntilUploadFails() {
        if (!startRecording())
            return false;
        vm->finishRecording();
        return QTest::qWaitFor(
            [&] { return vm->stateCase() == AppState::Case::uploadError && !vm->isBusy(); }, 10000);
    }

    bool waitUntilNotBusy() {
        return QTest::qWaitFor([&] { return !vm->isBusy(); }, 10000);
    }

    // Requests that create meetings or carry audio.
    int meetingRequests() const { return requestsTo(server, meetingsPath).size(); }
    QList<RecordedRequest> uploads() const {
        QList<RecordedRequest> found;
        for (const RecordedRequest &request : requestsTo(server, meetingsPath)) {
            if (request.target.endsWith("/audio"))
                found.append(request);
        }
        return found;
    }
};

QByteArray contentsOf(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class RecordingFlowTest : public QObject {
    Q_OBJECT

private slots:
    void normalPathUploadsAndReturnsToIdle() {
        Harness h;
        QVERIFY(h.startIdle());
        const QString file = h.recordingFile();
        const QByteArray recorded = contentsOf(file);

        const QDateTime before = QDateTime::currentDateTimeUtc();
        h.vm->beginRecording();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::recording);
        QVERIFY(h.vm->recordingStartTime() >= before.addMSecs(-1));
        QCOMPARE(h.vm->pendingMeetingId(), std::optional<std::int64_t>(101));
        QCOMPARE(h.recorder.starts, 1);
        const RecordedRequest create = requestsTo(h.server, meetingsPath).first();
        QCOMPARE(create.method, QByteArray("POST"));
        QCOMPARE(create.header("Authorization").value_or(""), QByteArray("Bearer token-1"));

        h.script.setProfile(answers::profile(7, QStringLiteral("Новое имя")));
        h.vm->finishRecording();
        QCOMPARE(h.vm->stateCase(), AppState::Case::uploading);
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::idle);
        // The idle screen has the profile from the check after the upload.
        QCOMPARE(h.vm->state().profile()->telegramUsername, std::optional<QString>("Новое имя"));
        QVERIFY(h.waitUntilNotBusy());

        const QList<RecordedRequest> uploads = h.uploads();
        QCOMPARE(uploads.size(), 1);
        QCOMPARE(uploads[0].target, QByteArray("/api/meetings/101/audio"));
        QCOMPARE(filePart(uploads[0]), recorded);
        QVERIFY(!QFile::exists(file));
        QVERIFY(!h.vm->pendingMeetingId());
        QVERIFY(!h.vm->hasRecordedFile());
    }

    void startOutsideIdleSendsNothing_data() {
        QTest::addColumn<AppState::Case>("from");
        QTest::newRow("notLoggedIn") << AppState::Case::notLoggedIn;
        QTest::newRow("recording") << AppState::Case::recording;
        QTest::newRow("uploading") << AppState::Case::uploading;
        QTest::newRow("uploadError") << AppState::Case::uploadError;
    }
    void startOutsideIdleSendsNothing() {
        QFETCH(AppState::Case, from);
        Harness h;
        QVERIFY(h.startIdle());
        h.recordingFile();
        switch (from) {
        case AppState::Case::notLoggedIn:
            h.vm->logout();
            break;
        case AppState::Case::recording:
            h.vm->beginRecording();
            break;
        case AppState::Case::uploading:
            h.recorder.stopDelay = 60s;
            QVERIFY(h.startRecording());
            h.vm->finishRecording();
            break;
        case AppState::Case::uploadError:
            h.script.pushMeeting(answers::notJson(500));
            h.vm->beginRecording();
            break;
        default:
            QFAIL("not a case of this test");
        }
        QTRY_COMPARE(h.vm->stateCase(), from);
        if (from != AppState::Case::uploading)
            QTRY_VERIFY(!h.vm->isBusy());
        const int meetings = h.meetingRequests();
        const int starts = h.recorder.starts;

        h.vm->beginRecording();
        QTest::qWait(300);
        QCOMPARE(h.meetingRequests(), meetings);
        QCOMPARE(h.recorder.starts, starts);
        QCOMPARE(h.vm->stateCase(), from);
    }

    // Failures before there is anything to upload: the error screen says what happened, its
    // button only checks the profile again, and no second meeting is made.
    void failureBeforeTheUpload_data() {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("told");
        QTest::addColumn<bool>("keepsMeeting");
        QTest::newRow("meeting refused")
            << "meeting"
            << QStringLiteral("Данные не удалось прочитать, так как они имеют неверный формат.")
            << false;
        QTest::newRow("recorder cannot start") << "start" << noServerText << false;
        QTest::newRow("recorder gave no file") << "file" << notFoundText << true;
    }
    void failureBeforeTheUpload() {
        QFETCH(QString, failure);
        QFETCH(QString, told);
        QFETCH(bool, keepsMeeting);
        Harness h;
        QVERIFY(h.startIdle());
        if (failure == QLatin1String("meeting"))
            h.script.pushMeeting(answers::notJson(401));
        else if (failure == QLatin1String("start"))
            h.recorder.startFailure = AudioRecorderError::Code::noPermission;

        if (failure == QLatin1String("file")) {
            QVERIFY(h.startRecording());
            h.vm->finishRecording();
        } else {
            h.vm->beginRecording();
        }
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::uploadError);
        QCOMPARE(h.vm->uploadErrorText(), told);
        QCOMPARE(h.recorder.starts, failure == QLatin1String("meeting") ? 0 : 1);
        QCOMPARE(h.vm->pendingMeetingId().has_value(), keepsMeeting);
        QVERIFY(!h.vm->hasRecordedFile()); // the retry button reads "Попробовать снова"
        QVERIFY(h.waitUntilNotBusy());

        const int profileChecks = requestsTo(h.server, profilePath).size();
        h.vm->retryUpload();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::idle);
        QCOMPARE(requestsTo(h.server, profilePath).size(), profileChecks + 1);
        QCOMPARE(h.meetingRequests(), 1); // made once, never deleted, no upload
    }

    // However the service fails the upload, the recording and its meeting wait for the retry,
    // which sends the same bytes to the same meeting once the service is back.
    void everyUploadFaultKeepsTheRecording_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("told");
        const QString lost = QStringLiteral("Сетевое соединение было потеряно.");
        QTest::newRow("connection lost mid-body") << "cut body" << lost;
        QTest::newRow("connection lost before the answer") << "drop" << lost;
        QTest::newRow("no answer within the timeout")
            << "stall" << QStringLiteral("Превышен лимит времени на запрос.");
        QTest::newRow("server error") << "500" << QStringLiteral("Неверный ответ сервера.");
        QTest::newRow("service gone")
            << "gone" << QStringLiteral("Не удалось подключиться к серверу.");
    }
    void everyUploadFaultKeepsTheRecording() {
        QFETCH(QString, fault);
        QFETCH(QString, told);
        Harness h;
        QVERIFY(h.startIdle());
        const QString file = h.recordingFile(3 * 1024 * 1024);
        const QByteArray recorded = contentsOf(file);
        const auto restoreTimeout = qScopeGuard([] { AuthBridge::setTransferTimeout(60s); });
        if (fault == QLatin1String("cut body")) {
            h.server.cutBodiesAfter(200 * 1024);
        } else if (fault == QLatin1String("stall")) {
            AuthBridge::setTransferTimeout(700ms);
            h.script.pushUpload(TestAnswer::stall());
        } else if (fault == QLatin1String("drop")) {
            // Qt resends a request whose connection dropped once, so both tries are dropped.
            h.script.pushUpload(TestAnswer::drop());
            h.script.pushUpload(TestAnswer::drop());
        } else if (fault == QLatin1String("500")) {
            h.script.pushUpload(answers::notJson(500));
        }

        QVERIFY(h.startRecording());
        if (fault == QLatin1String("gone"))
            h.server.goAway(); // after the meeting was created
        h.vm->finishRecording();
        QVERIFY(QTest::qWaitFor(
            [&] { return h.vm->stateCase() == AppState::Case::uploadError && !h.vm->isBusy(); },
            15000));
        QCOMPARE(h.vm->uploadErrorText(), told);
        QVERIFY(h.vm->hasRecordedFile());
        QCOMPARE(contentsOf(file), recorded);
        QCOMPARE(h.vm->pendingMeetingId(), std::optional<std::int64_t>(101));

        h.server.cutBodiesAfter(std::nullopt);
        h.script.clearUploads();
        if (fault == QLatin1String("gone"))
            h.server.comeBack();
        h.vm->retryUpload();
        QTRY_COMPARE_WITH_TIMEOUT(h.vm->stateCase(), AppState::Case::idle, 15000);
        QVERIFY(h.waitUntilNotBusy());
        const QList<RecordedRequest> uploads = h.uploads();
        QVERIFY(!uploads.isEmpty());
        QCOMPARE(uploads.last().target, QByteArray("/api/meetings/101/audio"));
        QVERIFY(filePart(uploads.last()) == recorded);
        QCOMPARE(h.meetingRequests() - uploads.size(), 1); // no second meeting
        QVERIFY(!QFile::exists(file));
        QCOMPARE(h.recordingsLeft(), QStringList());
    }

    void cancelDeletesWhatWasKept_data() {
        QTest::addColumn<bool>("mixFailed");
        QTest::newRow("after a failed upload") << false;
        QTest::newRow("after a failed mix") << true;
    }
    // Cancel gives the recording up: its files go, nothing is mixed, sent or created.
    void cancelDeletesWhatWasKept() {
        QFETCH(bool, mixFailed);
        Harness h;
        QVERIFY(h.startIdle());
        QStringList kept;
        if (mixFailed) {
            kept = QStringList{h.writeFile(QStringLiteral("sys_part.m4a")),
                               h.writeFile(QStringLiteral("mic_part.m4a"))};
            h.recorder.recorded = RecordedAudio{{}, kept, RecordedAudio::Loss::mixFailed, {}};
        } else {
            kept = QStringList{h.recordingFile()};
            h.script.pushUpload(answers::notJson(500));
        }
        QVERIFY(h.recordUntilUploadFails());
        const int uploads = h.uploads().size();

        h.vm->cancelUpload();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::idle);
        for (const QString &file : kept)
            QVERIFY2(!QFile::exists(file), qPrintable(file));
        QVERIFY(!h.vm->hasRecordedFile());
        QVERIFY(!h.vm->pendingMeetingId());
        QTest::qWait(200);
        QVERIFY(h.recorder.mixedParts.isEmpty());
        QCOMPARE(h.uploads().size(), uploads);
        QCOMPARE(h.meetingRequests(), 1 + uploads);
    }

    void cutTrackIsToldAndSentOnlyOnRetry_data() {
        QTest::addColumn<std::optional<CaptureTrack>>("track");
        QTest::addColumn<QString>("text");
        const QString rest = QStringLiteral(", часть звука не сохранилась. Нажмите «Повторить "
                                            "загрузку», чтобы отправить то, что записано");
        QTest::newRow("microphone") << std::optional(CaptureTrack::microphone)
                                    << QStringLiteral("Запись микрофона прервалась") + rest;
        QTest::newRow("system") << std::optional(CaptureTrack::system)
                                << QStringLiteral("Запись системного звука прервалась") + rest;
        QTest::newRow("both") << std::optional<CaptureTrack>()
                              << QStringLiteral("Запись прервалась") + rest;
    }

    // What is uploaded lacks part of a track: the user learns it before anything is sent.
    void cutTrackIsToldAndSentOnlyOnRetry() {
        QFETCH(std::optional<CaptureTrack>, track);
        QFETCH(QString, text);
        Harness h;
        QVERIFY(h.startIdle());
        const QString file = h.writeFile(QStringLiteral("recording.m4a"));
        const QByteArray recorded = contentsOf(file);
        const QString unreadable = h.writeFile(QStringLiteral("mic_part.m4a"));
        h.recorder.recorded =
            RecordedAudio{file, {unreadable}, RecordedAudio::Loss::trackCut, track};

        QVERIFY(h.recordUntilUploadFails());
        QCOMPARE(h.vm->uploadErrorText(), text);
        QVERIFY(h.vm->hasRecordedFile()); // the retry button reads "Повторить загрузку"
        QCOMPARE(h.uploads().size(), 0);
        QVERIFY(QFile::exists(file) && QFile::exists(unreadable));

        h.vm->retryUpload();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::idle);
        QVERIFY(h.waitUntilNotBusy());
        QCOMPARE(h.uploads().size(), 1);
        QCOMPARE(h.uploads()[0].target, QByteArray("/api/meetings/101/audio"));
        QCOMPARE(filePart(h.uploads()[0]), recorded);
        QVERIFY(!QFile::exists(file) && !QFile::exists(unreadable));
        QVERIFY(!h.vm->hasRecordedFile());
        QVERIFY(!h.vm->pendingMeetingId());
    }

    // The mix could not be written: retry mixes again first, and uploads only what it gives.
    void failedMixIsTriedAgainBeforeTheUpload() {
        Harness h;
        QVERIFY(h.startIdle());
        const QStringList parts{h.writeFile(QStringLiteral("sys_part.m4a")),
                                h.writeFile(QStringLiteral("mic_part.m4a"))};
        h.recorder.recorded = RecordedAudio{{}, parts, RecordedAudio::Loss::mixFailed, {}};
        const QString mixFailedText =
            QStringLiteral("Не удалось свести дорожки записи. Освободите "
                           "место на диске и нажмите «Повторить загрузку»");

        QVERIFY(h.recordUntilUploadFails());
        QCOMPARE(h.vm->uploadErrorText(), mixFailedText);
        QVERIFY(h.vm->hasRecordedFile());
        QVERIFY(!h.vm->lastRecordedFileURL());
        QCOMPARE(h.uploads().size(), 0);

        // Still no room: the same error, every part kept, nothing sent.
        h.vm->retryUpload();
        QVERIFY(h.waitUntilNotBusy());
        QCOMPARE(h.vm->stateCase(), AppState::Case::uploadError);
        QCOMPARE(h.vm->uploadErrorText(), mixFailedText);
        QCOMPARE(h.recorder.mixedParts, QList<QStringList>{parts});
        QVERIFY(QFile::exists(parts[0]) && QFile::exists(parts[1]));
        QVERIFY(h.vm->hasRecordedFile());
        QCOMPARE(h.uploads().size(), 0);

        const QString mixed = h.writeFile(QStringLiteral("mixed.m4a"));
        const QByteArray mixedBytes = contentsOf(mixed);
        h.recorder.mixes.push_back(RecordedAudio{mixed, {}, {}, {}});
        h.vm->retryUpload();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::idle);
        QVERIFY(h.waitUntilNotBusy());
        QCOMPARE(h.recorder.mixedParts, (QList<QStringList>{parts, parts}));
        QCOMPARE(h.uploads().size(), 1);
        QCOMPARE(h.uploads()[0].target, QByteArray("/api/meetings/101/audio"));
        QCOMPARE(filePart(h.uploads()[0]), mixedBytes);
        QVERIFY(!QFile::exists(mixed));
        QVERIFY(!h.vm->hasRecordedFile());
    }

    void secondClicksWhileBusyChangeNothing() {
        Harness h;
        QVERIFY(h.startIdle());
        h.recordingFile();
        h.script.pushMeeting([] {
            TestAnswer slow = answers::meeting(555);
            slow.delay = 400ms;
            return slow;
        }());
        h.recorder.startDelay = 200ms;

        h.vm->beginRecording();
        QVERIFY(h.vm->isBusy());
        h.vm->beginRecording();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::recording);
        h.vm->beginRecording();
        QTRY_VERIFY(!h.vm->isBusy());
        QCOMPARE(h.meetingRequests(), 1);
        QCOMPARE(h.recorder.starts, 1);

        h.recorder.stopDelay = 300ms;
        h.vm->finishRecording();
        h.vm->finishRecording();
        h.vm->retryUpload();
        h.vm->cancelUpload();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::idle);
        QVERIFY(h.waitUntilNotBusy());
        QCOMPARE(h.recorder.stops, 1);
        QCOMPARE(h.uploads().size(), 1);
        QCOMPARE(h.uploads()[0].target, QByteArray("/api/meetings/555/audio"));
    }

    void progressIsUnknownWhileMixingThenRises() {
        Harness h;
        QVERIFY(h.startIdle());
        // Large enough that Qt reports progress many more times than the screens should hear.
        h.recordingFile(48 * 1024 * 1024);
        h.recorder.stopDelay = 300ms;
        QVERIFY(h.startRecording());

        QList<double> announced;
        QList<qint64> announcedAt;
        QElapsedTimer clock;
        clock.start();
        connect(h.vm.get(), &AppViewModel::uploadProgressChanged, h.vm.get(), [&] {
            announced.append(h.vm->uploadProgress());
            announcedAt.append(clock.elapsed());
        });
        h.vm->finishRecording();
        QCOMPARE(h.vm->uploadProgress(), AppViewModel::unknownProgress);
        QTest::qWait(150);
        QCOMPARE(h.vm->uploadProgress(), AppViewModel::unknownProgress);
        QTRY_COMPARE_WITH_TIMEOUT(h.vm->stateCase(), AppState::Case::idle, 30000);

        QVERIFY(announced.size() >= 4);
        QCOMPARE(announced.first(), AppViewModel::unknownProgress);
        QCOMPARE(announced[1], 0.0);
        QCOMPARE(announced.last(), 1.0);
        for (qsizetype i = 2; i < announced.size(); ++i)
            QVERIFY2(announced[i] >= announced[i - 1], "progress went back");
        // Between the start and the end, the screens hear of progress at most once per
        // interval (less a little for the timer's slack).
        for (qsizetype i = 2; i < announced.size() && announced[i] < 1.0; ++i) {
            const qint64 gap = announcedAt[i] - announcedAt[i - 1];
            QVERIFY2(gap >= AppViewModel::progressInterval.count() * 8 / 10,
                     qPrintable(QStringLiteral("announcement %1 came %2 ms after the one before")
                                    .arg(i)
                                    .arg(gap)));
        }
    }

    void retryResetsProgress() {
        Harness h;
        QVERIFY(h.startIdle());
        h.recordingFile();
        h.script.pushUpload(answers::notJson(500));
        QVERIFY(h.recordUntilUploadFails());

        h.script.pushUpload([] {
            TestAnswer slow = answers::uploaded();
            slow.delay = 500ms;
            return slow;
        }());
        h.vm->retryUpload();
        QCOMPARE(h.vm->uploadProgress(), 0.0);
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::idle);
        QCOMPARE(h.vm->uploadProgress(), 1.0);
    }

    void destroyedMidUploadKeepsTheFile() {
        Harness h;
        QVERIFY(h.startIdle());
        const QString file = h.recordingFile();
        h.script.pushUpload(TestAnswer::stall());
        QVERIFY(h.startRecording());
        h.vm->finishRecording();
        QTRY_COMPARE(h.uploads().size(), 1);

        h.vm.reset();
        QTest::qWait(100);
        QVERIFY(QFile::exists(file));
    }

    // Recordings that an earlier run left unsent are offered one by one, oldest first, and each
    // goes to its own meeting; afterwards nothing of them is left.
    void unsentRecordingsAreOfferedOldestFirst() {
        Harness h;
        const QString older = QStringLiteral("AAAAAAAA-0000-4000-8000-000000000001");
        const QString newer = QStringLiteral("BBBBBBBB-0000-4000-8000-000000000002");
        const QDateTime now = QDateTime::currentDateTimeUtc();
        for (const auto &[id, meeting, start] :
             {std::tuple{newer, 42, now.addSecs(-60)}, std::tuple{older, 41, now.addSecs(-7200)}}) {
            RecordingManifest manifest;
            manifest.id = id;
            manifest.meetingId = meeting;
            manifest.startTime = start;
            manifest.mixedFile = id + QStringLiteral(".m4a");
            manifest.stage = RecordingManifest::Stage::mixed;
            h.leaveBehind(id, manifest.toJson(), {manifest.mixedFile});
        }
        const QByteArray olderAudio = contentsOf(h.recordings.filePath(older + ".m4a"));
        const QByteArray newerAudio = contentsOf(h.recordings.filePath(newer + ".m4a"));

        h.launch();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::uploadError);
        QVERIFY2(h.vm->uploadErrorText().startsWith(QStringLiteral("Запись от ")) &&
                     h.vm->uploadErrorText().endsWith(QStringLiteral("не отправлена")),
                 qPrintable(h.vm->uploadErrorText()));
        QVERIFY(h.vm->hasRecordedFile());
        QCOMPARE(h.vm->pendingMeetingId(), std::optional<std::int64_t>(41));

        h.vm->retryUpload();
        QTRY_COMPARE(h.uploads().size(), 1);
        QTRY_COMPARE(h.vm->pendingMeetingId(), std::optional<std::int64_t>(42));
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::uploadError);
        h.vm->retryUpload();
        QTRY_COMPARE(h.uploads().size(), 2);
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::idle);
        QVERIFY(h.waitUntilNotBusy());

        const QList<RecordedRequest> uploads = h.uploads();
        QCOMPARE(uploads[0].target, meetingsPath + "/41/audio");
        QCOMPARE(filePart(uploads[0]), olderAudio);
        QCOMPARE(uploads[1].target, meetingsPath + "/42/audio");
        QCOMPARE(filePart(uploads[1]), newerAudio);
        QCOMPARE(h.meetingRequests(), 2); // the uploads only: no new meeting
        QCOMPARE(h.recordingsLeft(), QStringList());
    }

    // Parts a crash left without their mix are mixed first (neither a mix cut short nor the
    // one made while recording is taken for a part); a damaged manifest still gives the audio,
    // to a meeting made for it at the retry.
    void partsOfALostManifestAreMixedAndSentToANewMeeting() {
        Harness h;
        const QString id = QStringLiteral("CCCCCCCC-0000-4000-8000-000000000003");
        h.leaveBehind(id, "{\"version\": 1, \"id\": ", // cut short by the crash
                      {QStringLiteral("sys_%1.m4a").arg(id), QStringLiteral("mic_%1.m4a").arg(id),
                       id + QStringLiteral(".m4a"), QStringLiteral("live_%1.m4a").arg(id)});
        const QString mixed = h.writeFile(QStringLiteral("mixed.m4a"));
        const QByteArray mixedBytes = contentsOf(mixed); // the upload deletes it
        h.recorder.mixes.push_back(RecordedAudio{mixed, {}, {}, {}});

        h.launch();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::uploadError);
        QCOMPARE(h.recorder.mixedParts.size(), 1);
        QCOMPARE(h.recorder.mixedParts[0],
                 (QStringList{h.recordings.filePath(QStringLiteral("mic_%1.m4a").arg(id)),
                              h.recordings.filePath(QStringLiteral("sys_%1.m4a").arg(id))}));
        QVERIFY(!h.vm->pendingMeetingId());

        h.vm->retryUpload();
        QTRY_COMPARE(h.uploads().size(), 1);
        QCOMPARE(h.uploads()[0].target, meetingsPath + "/101/audio");
        QCOMPARE(filePart(h.uploads()[0]), mixedBytes);
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::idle);
        QVERIFY(h.waitUntilNotBusy());
        QCOMPARE(h.recordingsLeft(), QStringList());
    }

    // A manifest whose capture never began, and parts without a single sample, are cleaned
    // away without a word.
    void recordingsWithoutAudioAreRemovedSilently() {
        Harness h;
        RecordingManifest started;
        started.id = QStringLiteral("DDDDDDDD-0000-4000-8000-000000000004");
        started.meetingId = 9;
        started.startTime = QDateTime::currentDateTimeUtc();
        h.leaveBehind(started.id, started.toJson(), {});
        const QString emptyId = QStringLiteral("EEEEEEEE-0000-4000-8000-000000000005");
        QFile empty(h.recordings.filePath(QStringLiteral("sys_%1.m4a").arg(emptyId)));
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();

        QVERIFY(h.startIdle());
        QVERIFY(h.waitUntilNotBusy());
        QCOMPARE(h.vm->stateCase(), AppState::Case::idle);
        QCOMPARE(h.recordingsLeft(), QStringList());
        QVERIFY(h.recorder.mixedParts.isEmpty());
    }

    // Quitting mid-recording ends the capture without a mix and keeps the recording, with its
    // meeting, for the next launch.
    void quitWhileRecordingKeepsItForTheNextLaunch() {
        Harness h;
        QVERIFY(h.startIdle());
        QVERIFY(h.startRecording());
        const QString id = h.recorder.lastRecordingId;
        QVERIFY(RecordingManifest::isRecordingId(id));
        QCoro::waitFor(h.vm->prepareToQuit());
        QVERIFY(!h.recorder.isRecording());
        QCOMPARE(h.recorder.stops, 0); // no stop, so no mix

        h.vm.reset();

        QFile file(h.recordings.filePath(id + QStringLiteral(".json")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const std::optional<RecordingManifest> manifest =
            RecordingManifest::fromJson(file.readAll());
        QVERIFY(manifest);
        QCOMPARE(manifest->stage, RecordingManifest::Stage::capturing);
        QCOMPARE(manifest->meetingId, std::optional<std::int64_t>(101));

        // What the capture wrote (the real recorder's part files; written here by the test).
        h.leaveBehind(id, QByteArray(),
                      {QStringLiteral("sys_%1.m4a").arg(id), QStringLiteral("mic_%1.m4a").arg(id)});
        h.recorder.mixes.push_back(
            RecordedAudio{h.writeFile(QStringLiteral("mix.m4a")), {}, {}, {}});
        h.launch();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::uploadError);
        QCOMPARE(h.vm->pendingMeetingId(), std::optional<std::int64_t>(101));
        h.vm->retryUpload();
        QTRY_COMPARE(h.uploads().size(), 1);
        QCOMPARE(h.uploads()[0].target, meetingsPath + "/101/audio");
    }

    // Quitting after a failed upload keeps the recording: the next launch offers it, and the
    // retry sends the same bytes to the same meeting.
    void failedUploadSurvivesARelaunch() {
        Harness h;
        QVERIFY(h.startIdle());
        QVERIFY(h.startRecording());
        // Where the real recorder puts its mix: in the recordings folder, named by the id.
        const QString mix = h.recordings.filePath(h.recorder.lastRecordingId + ".m4a");
        QVERIFY(QFile::rename(h.writeFile(QStringLiteral("mix.m4a")), mix));
        h.recorder.handBack(mix);
        const QByteArray bytes = contentsOf(mix);
        h.script.pushUpload(answers::notJson(500));
        h.vm->finishRecording();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::uploadError);
        QVERIFY(h.waitUntilNotBusy());
        QCoro::waitFor(h.vm->prepareToQuit());
        h.vm.reset();

        h.launch();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::uploadError);
        QVERIFY(h.vm->uploadErrorText().startsWith(QStringLiteral("Запись от ")));
        h.vm->retryUpload();
        QTRY_COMPARE(h.uploads().size(), 2);
        QCOMPARE(h.uploads()[1].target, h.uploads()[0].target);
        QCOMPARE(filePart(h.uploads()[1]), bytes);
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::idle);
        QVERIFY(h.waitUntilNotBusy());
        QCOMPARE(h.recordingsLeft(), QStringList());
    }
};

QTEST_GUILESS_MAIN(RecordingFlowTest)
#include "tst_recordingflow.moc"
