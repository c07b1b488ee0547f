// The recording and upload flow against a scripted service on loopback, with a recorder that
// does what each test tells it.

#include "AudioRecorder.h"
#include "AuthBridge.h"
#include "RecordingArchive.h"
#include "ViewModelHarness.h"

#include <QElapsedTimer>
#include <QScopeGuard>

#include <array>

class RecordingFlowTest : public QObject {
    Q_OBJECT

private slots:
    // Failures before there is anything to upload: the error screen says what happened, its
    // button only checks the profile again, and no second meeting is made.
    void failureBeforeTheUpload_data() {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("told");
        QTest::newRow("meeting refused")
            << "meeting"
            << QStringLiteral("Данные не удалось прочитать, так как они имеют неверный формат.");
        QTest::newRow("recorder cannot start")
            << "start"
            << QStringLiteral("Нет доступа к звуковому серверу. Проверьте, что PulseAudio или "
                              "PipeWire запущен, затем перезапустите приложение");
    }
    void failureBeforeTheUpload() {
        QFETCH(QString, failure);
        QFETCH(QString, told);
        Harness h;
        QVERIFY(h.startIdle());
        if (failure == QLatin1String("meeting"))
            h.script.pushMeeting(answers::notJson(500));
        else if (failure == QLatin1String("start"))
            h.recorder.startFailure = AudioRecorderError::Code::noPermission;
        h.vm->beginRecording();
        QVERIFY(h.settlesOn(AppState::Case::uploadError));
        QCOMPARE(h.vm->uploadErrorText(), told);
        QCOMPARE(h.recorder.starts, failure == QLatin1String("meeting") ? 0 : 1);
        QVERIFY(!h.vm->hasRecordedFile()); // the retry button reads "Попробовать снова"

        h.vm->retryUpload();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::idle);
        QCOMPARE(h.count("/api/auth/me"), 2);
        QCOMPARE(h.meetingRequests(), 1); // made once, never deleted, no upload
    }

    // However the service fails the upload, the recording and its meeting wait for the retry,
    // which sends the same bytes to the same meeting once the service is back.
    void everyUploadFaultKeepsTheRecording_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QString>("told");
        // A server that closes mid-body may leave the rest unread, and the kernel then resets
        // the connection: Qt tells that apart from a close only as an unknown network error.
        const QString lost = QStringLiteral("Сетевое соединение было потеряно.|Произошла "
                                            "неизвестная ошибка сети.");
        QTest::newRow("connection lost mid-body") << "cut body" << lost;
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
        } else if (fault == QLatin1String("500")) {
            h.script.pushUpload(answers::notJson(500));
        }

        QVERIFY(h.startRecording());
        if (fault == QLatin1String("gone"))
            h.server.goAway(); // after the meeting was created
        h.vm->finishRecording();
        QVERIFY(h.settlesOn(AppState::Case::uploadError));
        QVERIFY2(told.split(QLatin1Char('|')).contains(h.vm->uploadErrorText()),
                 qPrintable(h.vm->uploadErrorText()));
        QCOMPARE(contentsOf(file), recorded);

        h.server.cutBodiesAfter(std::nullopt);
        h.script.clearUploads();
        if (fault == QLatin1String("gone"))
            h.server.comeBack();
        h.vm->retryUpload();
        QVERIFY(h.settlesOn(AppState::Case::idle));
        const QList<RecordedRequest> uploads = h.uploads();
        QCOMPARE(uploads.last().target, QByteArray("/api/meetings/101/audio"));
        QVERIFY(uploads.last().filePart() == recorded);
        QCOMPARE(h.meetingRequests() - uploads.size(), 1); // no second meeting
        QVERIFY(!QFile::exists(file));
        QCOMPARE(h.recordingsLeft(), QStringList());
    }

    // A refused token signs the user out; the recording waits for its own account's sign-in.
    void expiredSignInKeepsTheRecordingForItsAccount_data() {
        QTest::addColumn<QByteArray>("refused");
        QTest::addColumn<int>("status");
        QTest::addColumn<qint64>("nextAccount");
        QTest::newRow("upload 401, same account") << QByteArray("upload") << 401 << qint64(7);
        QTest::newRow("upload 403, another account") << QByteArray("upload") << 403 << qint64(8);
        QTest::newRow("meeting 401") << QByteArray("meeting") << 401 << qint64(7);
    }
    void expiredSignInKeepsTheRecordingForItsAccount() {
        QFETCH(QByteArray, refused);
        QFETCH(int, status);
        QFETCH(qint64, nextAccount);
        Harness h;
        QVERIFY(h.startIdle());
        QByteArray bytes;
        if (refused == "meeting") {
            h.script.pushMeeting(answers::json({}, status));
            h.vm->beginRecording();
        } else {
            QVERIFY(h.startRecording());
            bytes = h.mixInRecordingsFolder();
            h.script.pushUpload(answers::json({}, status));
            h.vm->finishRecording();
        }
        QVERIFY(h.settlesOn(AppState::Case::notLoggedIn));
        QCOMPARE(h.vm->uploadErrorText(), QStringLiteral("Вход истёк. Войдите снова — запись "
                                                         "сохранена и отправится после входа."));
        QVERIFY(!h.vm->authToken());
        QCOMPARE(h.store->token, std::nullopt);
        const QStringList kept = h.recordingsLeft();
        QCOMPARE(kept.size(), refused == "meeting" ? 0 : 2); // the manifest and the audio

        h.script.setProfile(answers::profile(nextAccount, QStringLiteral("Анна")));
        h.script.pushStart(answers::start(QStringLiteral("n-again"), 600));
        h.script.pushPoll(answers::token(QStringLiteral("token-2")));
        h.vm->startTelegramLogin();
        if (refused == "meeting" || nextAccount != 7) {
            QVERIFY(h.settlesOn(AppState::Case::idle));
            QCOMPARE(h.recordingsLeft(), kept);
            QCOMPARE(h.uploads().size(), refused == "meeting" ? 0 : 1);
            QCOMPARE(h.recorder.starts, refused == "meeting" ? 0 : 1);
            return;
        }
        QVERIFY(h.settlesOn(AppState::Case::uploadError));
        QCOMPARE(h.vm->pendingMeetingId(), std::optional<std::int64_t>(101));
        h.vm->retryUpload();
        QVERIFY(h.settlesOn(AppState::Case::idle));
        const QList<RecordedRequest> uploads = h.uploads();
        QCOMPARE(uploads.size(), 2);
        QCOMPARE(uploads[1].target, QByteArray("/api/meetings/101/audio"));
        QCOMPARE(uploads[1].header("Authorization"), std::optional<QByteArray>("Bearer token-2"));
        QCOMPARE(uploads[1].filePart(), bytes);
        QCOMPARE(h.meetingRequests(), 3); // one meeting, two uploads
        QCOMPARE(h.recordingsLeft(), QStringList());
    }

    // The stored token's slow check succeeds while a sign-in waits for the bot: the attempt
    // ends there, and its token, arriving during the recording, changes nothing.
    void lateSignInNeverReplacesTheRecording() {
        Harness h;
        h.script.setProfile(answers::after(600ms, answers::profile(7, QStringLiteral("Анна"))));
        h.script.pushStart(answers::start(QStringLiteral("n-late"), 600));
        h.script.pushPoll(answers::after(1500ms, answers::token(QStringLiteral("token-late"))));
        h.launch();
        h.vm->startTelegramLogin();
        QTRY_COMPARE(h.vm->stateCase(), AppState::Case::idle);
        QVERIFY(!h.vm->isPollingAuth());

        h.recordingFile();
        QVERIFY(h.startRecording());
        QTest::qWait(1500); // the late token arrives
        QCOMPARE(h.vm->stateCase(), AppState::Case::recording);
        QCOMPARE(h.store->token, std::optional<QString>("token-1"));
        h.vm->beginRecording();
        QTest::qWait(200);
        QCOMPARE(h.meetingRequests(), 1);
        QCOMPARE(h.recorder.starts, 1);
    }

    // A recording that lost audio (a cut track, or a mix that could not be written) is not
    // sent before the user hears of it; the retry sends it (mixing the kept parts anew, which
    // may fail again and keeps every part), and "Отменить" deletes everything kept instead.
    void lossIsToldBeforeAnythingIsSent_data() {
        QTest::addColumn<bool>("mixFailed");
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("fullDisk");
        const QString cut = QStringLiteral("Запись микрофона прервалась, часть звука не "
                                           "сохранилась. Нажмите «Повторить загрузку», чтобы "
                                           "отправить то, что записано");
        const QString mixFailed = QStringLiteral("Не удалось свести дорожки записи. Освободите "
                                                 "место на диске и нажмите «Повторить загрузку»");
        QTest::newRow("track cut, sent") << false << false << cut << false;
        QTest::newRow("mix failed, sent") << true << false << mixFailed << false;
        QTest::newRow("mix failed, cancelled") << true << true << mixFailed << false;
        QTest::newRow("lost to a full disk, sent")
            << false << false
            << QStringLiteral("Диск был заполнен: потеряно 3 с звука компьютера и 2 с микрофона. "
                              "Нажмите «Повторить загрузку», чтобы отправить то, что записано")
            << true;
    }
    void lossIsToldBeforeAnythingIsSent() {
        QFETCH(bool, mixFailed);
        QFETCH(bool, cancel);
        QFETCH(QString, text);
        QFETCH(bool, fullDisk);
        Harness h;
        QVERIFY(h.startIdle());
        const auto loss =
            mixFailed ? RecordedAudio::Loss::mixFailed : RecordedAudio::Loss::trackCut;
        const QStringList parts{h.writeFile(QStringLiteral("sys_part.m4a")),
                                h.writeFile(QStringLiteral("mic_part.m4a"))};
        const QString file = h.writeFile(QStringLiteral("recording.m4a"));
        h.recorder.recorded =
            RecordedAudio{mixFailed ? QString() : file, parts, loss, CaptureTrack::microphone};
        if (fullDisk) { // seconds rounded up
            h.recorder.recorded->systemLostToFullDisk = 2001ms;
            h.recorder.recorded->microphoneLostToFullDisk = 1500ms;
        }
        QVERIFY(h.startRecording());
        h.vm->finishRecording();
        QVERIFY(h.settlesOn(AppState::Case::uploadError));
        QCOMPARE(h.vm->uploadErrorText(), text);
        QVERIFY(h.vm->hasRecordedFile()); // the retry button reads "Повторить загрузку"
        if (mixFailed && !cancel) {
            h.vm->retryUpload(); // still no room
            QVERIFY(h.settlesOn(AppState::Case::uploadError));
            QCOMPARE(h.vm->uploadErrorText(), text);
            QVERIFY(QFile::exists(parts[0]) && QFile::exists(parts[1]));
            h.recorder.mixes.push_back(RecordedAudio{file, {}, {}, {}});
        }
        QCOMPARE(h.uploads().size(), 0);
        const QByteArray recorded = contentsOf(file);

        cancel ? h.vm->cancelUpload() : h.vm->retryUpload();
        QVERIFY(h.settlesOn(AppState::Case::idle));
        QCOMPARE(h.uploads().size(), cancel ? 0 : 1);
        if (!cancel) {
            QCOMPARE(h.uploads()[0].target, QByteArray("/api/meetings/101/audio"));
            QCOMPARE(h.uploads()[0].filePart(), recorded);
        }
        QCOMPARE(h.recorder.mixedParts.size(), mixFailed && !cancel ? 2 : 0);
        // (After a mix, the recorder removes the parts it mixed; a cancelled mix made no file.)
        QCOMPARE(QFile::exists(file), mixFailed && cancel);
        QVERIFY(mixFailed != cancel || (!QFile::exists(parts[0]) && !QFile::exists(parts[1])));
        QVERIFY(!h.vm->hasRecordedFile());
    }

    // What a full disk cost stays with the recording and is told before it is sent, however
    // it goes on: mixed again after a failed mix, or mixed by the next launch after a quit
    // mid-recording or after a failed mix.
    void fullDiskLossIsToldOnEveryPath_data() {
        QTest::addColumn<bool>("mixFails");
        QTest::addColumn<bool>("quits");
        QTest::newRow("mix failed, mixed again") << true << false;
        QTest::newRow("quit while recording, mixed at launch") << false << true;
        QTest::newRow("mix failed, quit, mixed at launch") << true << true;
    }
    void fullDiskLossIsToldOnEveryPath() {
        QFETCH(bool, mixFails);
        QFETCH(bool, quits);
        Harness h;
        QVERIFY(h.startIdle());
        QVERIFY(h.startRecording());
        const QString id = h.recorder.lastRecordingId;
        const QStringList names{"sys_" + id + ".m4a", "mic_" + id + ".m4a"};
        h.leaveBehind(id, QByteArray(), names);
        const QStringList parts{h.recordings.filePath(names[0]), h.recordings.filePath(names[1])};
        h.recorder.recorded = RecordedAudio{{}, parts, RecordedAudio::Loss::mixFailed, {}};
        h.recorder.recorded->systemLostToFullDisk = 1500ms;
        h.recorder.recorded->microphoneLostToFullDisk = 2500ms;
        if (mixFails) {
            h.vm->finishRecording();
            QVERIFY(h.settlesOn(AppState::Case::uploadError));
            QVERIFY(h.vm->uploadErrorText().startsWith(QStringLiteral("Не удалось свести")));
        }
        h.recorder.mixes.push_back(RecordedAudio{h.writeFile("mix.m4a"), {}, {}, {}});
        if (quits) {
            QCoro::waitFor(h.vm->prepareToQuit());
            h.vm.reset();
            h.launch();
        } else {
            h.vm->retryUpload();
        }
        QVERIFY(h.settlesOn(AppState::Case::uploadError));
        QVERIFY2(h.vm->uploadErrorText().contains(QStringLiteral(
                     "Диск был заполнен: потеряно 2 с звука компьютера и 3 с микрофона")),
                 qPrintable(h.vm->uploadErrorText()));
        QCOMPARE(h.uploads().size(), 0);
        h.vm->retryUpload();
        QVERIFY(h.settlesOn(AppState::Case::idle));
        QCOMPARE(h.uploads().size(), 1);
        QCOMPARE(h.recorder.mixedParts.size(), 1);
    }

    void secondClicksWhileBusyChangeNothing() {
        Harness h;
        QVERIFY(h.startIdle());
        h.recordingFile();
        h.script.pushMeeting(answers::after(400ms, answers::meeting(555)));
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
        QVERIFY(h.settlesOn(AppState::Case::idle));
        QCOMPARE(h.recorder.stops, 1);
        QCOMPARE(h.uploads().size(), 1);
        QCOMPARE(h.uploads()[0].target, QByteArray("/api/meetings/555/audio"));

        // A second retry while the retry's upload waits for the service sends nothing more.
        h.recordingFile();
        h.script.pushUpload(answers::notJson(500));
        h.script.pushUpload(answers::after(600ms, answers::json({{"status", "uploaded"}}, 201)));
        QVERIFY(h.startRecording());
        h.vm->finishRecording();
        QVERIFY(h.settlesOn(AppState::Case::uploadError));
        h.vm->retryUpload();
        QTRY_COMPARE(h.uploads().size(), 3); // the retry's request is held by the service
        h.vm->retryUpload();
        QVERIFY(h.settlesOn(AppState::Case::idle));
        QCOMPARE(h.uploads().size(), 3);
        QCOMPARE(h.uploads()[2].target, h.uploads()[1].target);
        QCOMPARE(h.meetingRequests() - h.uploads().size(), 2); // 555 and this one
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
            manifest.apiBaseUrl = h.server.baseUrl();
            manifest.startTime = start;
            manifest.mixedFile = id + QStringLiteral(".m4a");
            manifest.stage = RecordingManifest::Stage::mixed;
            h.leaveBehind(id, manifest.toJson(), {manifest.mixedFile});
        }
        const QByteArray olderAudio = contentsOf(h.recordings.filePath(older + ".m4a"));
        const QByteArray newerAudio = contentsOf(h.recordings.filePath(newer + ".m4a"));

        h.launch();
        for (const auto &[meeting, audio] :
             {std::pair{41, olderAudio}, std::pair{42, newerAudio}}) {
            QVERIFY(h.settlesOn(AppState::Case::uploadError));
            QVERIFY(h.vm->uploadErrorText().startsWith(QStringLiteral("Запись от ")));
            QCOMPARE(h.vm->pendingMeetingId(), std::optional<std::int64_t>(meeting));
            h.vm->retryUpload();
            QTRY_COMPARE(h.uploads().size(), meeting - 40);
            QCOMPARE(h.uploads().last().target,
                     "/api/meetings/" + QByteArray::number(meeting) + "/audio");
            QCOMPARE(h.uploads().last().filePart(), audio);
        }
        QVERIFY(h.settlesOn(AppState::Case::idle));
        QCOMPARE(h.meetingRequests(), 2); // the uploads only: no new meeting
        QCOMPARE(h.recordingsLeft(), QStringList());
    }

    // A failed upload does not hold the next meeting up: a new recording starts from the error
    // screen, and while the service refuses, what waits is tried by itself at growing pauses.
    // Once an upload gets through, the waiting ones go, oldest first, each to its own meeting
    // with its own bytes.
    void unsentRecordingsWaitWhileTheNextMeetingRecords() {
        Harness h;
        h.seams.firstUnsentPause = 300ms;
        bool serviceDown = true;
        QList<std::pair<QByteArray, QByteArray>> delivered; // target, audio
        h.server.setHandler([&](const RecordedRequest &request) {
            if (!request.target.endsWith("/audio"))
                return h.script.answer(request);
            if (serviceDown)
                return answers::notJson(503);
            delivered.append({request.target, request.filePart()});
            return h.script.answer(request);
        });
        QVERIFY(h.startIdle());
        QList<QByteArray> bytes;
        for (const int meeting : {101, 102, 103}) {
            h.script.pushMeeting(answers::meeting(meeting));
            h.vm->beginRecording(); // from idle, then from the error screen
            QVERIFY(h.settlesOn(AppState::Case::recording));
            QCOMPARE(h.vm->unsentText(),
                     meeting == 101 ? QString()
                                    : QStringLiteral("Не отправлено: %1").arg(meeting - 101));
            if (meeting == 102) {
                // 300 ms, 600 ms, 1.2 s: a busy machine makes fewer tries, never more.
                QTest::qWait(2500);
                const int tries = requestsTo(h.server, "/meetings/101/audio").size() - 1;
                QVERIFY2(tries >= 1 && tries <= 4, qPrintable(QString::number(tries)));
            }
            bytes << h.mixInRecordingsFolder();
            serviceDown = meeting != 103;
            h.vm->finishRecording();
            QVERIFY(
                h.settlesOn(meeting == 103 ? AppState::Case::idle : AppState::Case::uploadError));
        }
        QTRY_COMPARE(delivered.size(), 3);
        for (const int i : {0, 1, 2}) {
            const int meeting = std::array{103, 101, 102}[i];
            QCOMPARE(delivered[i].first, "/api/meetings/" + QByteArray::number(meeting) + "/audio");
            QVERIFY(delivered[i].second == bytes[meeting - 101]);
        }
        QTRY_COMPARE(h.recordingsLeft(), QStringList());
        QTRY_COMPARE(h.vm->unsentText(), QString());
    }

    // A quit between the removals of the parts after a whole mix leaves the mix, one part and a
    // manifest still at capturing: the real mixdown's file is sent as it is, never deleted nor
    // replaced by a mix of that one part. A mix shorter than the manifest says is sent with
    // its loss told; a part that could not be read is never deleted. One that the service got
    // before a crash is not sent again.
    void aWholeMixOutlivesALeftoverPart_data() {
        QTest::addColumn<QString>("leftover");
        QTest::newRow("leftover with audio") << QStringLiteral("audio");
        QTest::newRow("leftover without audio") << QStringLiteral("silent");
        QTest::newRow("no part, mix shorter than written") << QStringLiteral("none");
        QTest::newRow("no mix, a part that cannot be read") << QStringLiteral("unreadable");
        QTest::newRow("delivered before the crash") << QStringLiteral("delivered");
    }
    void aWholeMixOutlivesALeftoverPart() {
        QFETCH(QString, leftover);
        Harness h;
        AudioRecorder mixer;
        h.seams.recorder = &mixer;
        RecordingManifest manifest;
        manifest.id = QStringLiteral("AAAAAAAA-0000-4000-8000-000000000001");
        manifest.meetingId = 41;
        manifest.apiBaseUrl = h.server.baseUrl();
        manifest.startTime = QDateTime::currentDateTimeUtc();
        manifest.partFiles = {"sys_" + manifest.id + ".m4a", "mic_" + manifest.id + ".m4a"};
        manifest.stage = RecordingManifest::Stage::capturing;
        h.leaveBehind(manifest.id, manifest.toJson(), manifest.partFiles);
        const QString mic = h.recordings.filePath(manifest.partFiles[1]);
        const RecordedAudio mixed =
            QCoro::waitFor(mixer.mixParts({h.recordings.filePath(manifest.partFiles[0]), mic}));
        QVERIFY(mixed.loss == RecordedAudio::Loss::none && !QFile::exists(mic));
        const QByteArray bytes = contentsOf(mixed.filePath);
        manifest.mixLength = 60s;
        if (leftover == "delivered")
            manifest.stage = RecordingManifest::Stage::delivered;
        if (leftover == "audio")
            h.leaveBehind(manifest.id, QByteArray(), {manifest.partFiles[1]});
        else if (leftover == "silent")
            M4aWriter(mic, M4aWriter::Layout::fragmented).finish();
        else if (leftover == "none" || leftover == "delivered")
            QVERIFY(RecordingArchive(h.recordings.path()).save(manifest));
        else // gives no audio, yet is too large to hold none
            QVERIFY(QFile::remove(mixed.filePath) && QFile::rename(h.writeFile("mic.m4a"), mic));
        if (leftover == "unreadable")
            h.leaveBehind(manifest.id, QByteArray(), {manifest.partFiles[0]});

        h.launch();
        if (leftover == "unreadable" || leftover == "delivered") { // kept whole and told, or gone
            QVERIFY(h.settlesOn(leftover == "unreadable" ? AppState::Case::uploadError
                                                         : AppState::Case::idle));
            QCOMPARE(h.vm->uploadErrorText().contains(QStringLiteral("не читается")),
                     leftover == "unreadable");
            QCOMPARE(h.recordingsLeft().size(), leftover == "unreadable" ? 4 : 0); // with its lock
            QCOMPARE(h.uploads().size(), 0);
            return;
        }
        if (leftover == "none") { // told first; a whole one goes by itself
            QVERIFY(h.settlesOn(AppState::Case::uploadError));
            QVERIFY(h.vm->uploadErrorText().contains(QStringLiteral("прервалась")));
            QCOMPARE(contentsOf(mixed.filePath), bytes);
            h.vm->retryUpload();
        }
        QTRY_COMPARE(h.uploads().size(), 1);
        QVERIFY(h.settlesOn(AppState::Case::idle));
        QCOMPARE(h.uploads().last().filePart(), bytes);
        QTRY_COMPARE(h.recordingsLeft(), QStringList());
    }

    // A recording waits for the service and the account it was made with: a program on another
    // address or signed in to another account leaves it on disk untouched, and one from before
    // addresses were kept goes to the released service only.
    void recordingsGoOnlyToTheirOwnServiceAndAccount_data() {
        QTest::addColumn<bool>("otherAddress");
        QTest::addColumn<qint64>("account");
        QTest::addColumn<bool>("addressKept");
        QTest::newRow("another address") << true << qint64(7) << true;
        QTest::newRow("another account") << false << qint64(8) << true;
        QTest::newRow("manifest without an address") << false << qint64(7) << false;
    }
    void recordingsGoOnlyToTheirOwnServiceAndAccount() {
        QFETCH(bool, otherAddress);
        QFETCH(qint64, account);
        QFETCH(bool, addressKept);
        Harness h;
        TestHttpServer other;
        other.setHandler([&h](const RecordedRequest &request) { return h.script.answer(request); });
        QVERIFY(h.startIdle());
        QVERIFY(h.startRecording());
        h.mixInRecordingsFolder();
        h.script.pushUpload(answers::notJson(500));
        h.vm->finishRecording();
        QVERIFY(h.settlesOn(AppState::Case::uploadError));
        h.vm.reset();
        const RecordingArchive archive(h.recordings.path());
        std::optional<RecordingManifest> manifest = RecordingManifest::fromJson(
            contentsOf(archive.pathOf(RecordingManifest::fileNameFor(h.recorder.lastRecordingId))));
        QVERIFY(manifest && manifest->apiBaseUrl == h.server.baseUrl());
        manifest->apiBaseUrl.clear();
        QVERIFY(addressKept || archive.save(*manifest));
        const QStringList kept = h.recordingsLeft();

        h.seams.apiBaseUrl = otherAddress ? other.baseUrl() : h.server.baseUrl();
        h.script.setProfile(answers::profile(account, QStringLiteral("Анна")));
        QVERIFY(h.startIdle());
        QCOMPARE(h.recordingsLeft(), kept);
        QCOMPARE(h.uploads().size() + requestsTo(other, "/audio").size(), 1);
    }

    // A second copy on the same folder leaves alone the recording the first one is starting or
    // capturing (nothing mixed, sent or removed, not even a manifest without audio yet); a copy
    // that could not tell whether another one runs offers nothing left by an earlier run.
    void aSecondCopyLeavesTheFirstCopysRecordingAlone_data() {
        QTest::addColumn<QString>("first");
        QTest::newRow("first copy starting") << QStringLiteral("starting");
        QTest::newRow("first copy capturing") << QStringLiteral("capturing");
        QTest::newRow("copy without the instance lock") << QStringLiteral("quit");
    }
    void aSecondCopyLeavesTheFirstCopysRecordingAlone() {
        QFETCH(QString, first);
        Harness h;
        QVERIFY(h.startIdle());
        h.recorder.startDelay = first == "starting" ? 2s : 0s;
        h.vm->beginRecording();
        QTRY_VERIFY(!h.recorder.lastRecordingId.isEmpty());
        const QString id = h.recorder.lastRecordingId;
        if (first != "starting") {
            QVERIFY(h.settlesOn(AppState::Case::recording));
            h.leaveBehind(id, QByteArray(), {"sys_" + id + ".m4a", "mic_" + id + ".m4a"});
        }
        if (first == "quit") {
            QCoro::waitFor(h.vm->prepareToQuit());
            h.vm.reset();
            h.seams.recoversUnsent = false;
        }
        const QStringList before = h.recordingsLeft();
        QCOMPARE(before.size(), first == "starting" ? 2 : first == "capturing" ? 4 : 3);

        const std::unique_ptr<AppViewModel> second = h.makeViewModel();
        QTRY_VERIFY(second->stateCase() == AppState::Case::idle && !second->isBusy());
        QTest::qWait(200);
        QCOMPARE(second->stateCase(), AppState::Case::idle);
        QCOMPARE(h.recorder.mixedParts.size(), 0);
        QCOMPARE(h.recordingsLeft(), before);
        QVERIFY(!h.vm || h.settlesOn(AppState::Case::recording)); // the first copy goes on
    }

    // A quit mid-recording or after a failed upload: the next launch mixes the parts (never the
    // live mix) and sends the same bytes to the same meeting; a cut manifest, to a new one.
    void relaunchSendsToTheSameMeeting_data() {
        QTest::addColumn<bool>("quitWhileRecording");
        QTest::addColumn<qint64>("meeting");
        QTest::addColumn<bool>("manifestLost");
        QTest::addColumn<bool>("trackCut");           // told before the quit, and again after it
        QTest::addColumn<bool>("quitWhileUploading"); // at once, not after the quit wait
        QTest::newRow("quit while recording") << true << qint64(101) << false << false << false;
        QTest::newRow("failed upload") << false << qint64(101) << false << false << false;
        QTest::newRow("meeting id above 2^53")
            << false << qint64(9'007'199'254'740'993) << false << false << false;
        QTest::newRow("negative meeting id") << true << qint64(-5) << false << false << false;
        QTest::newRow("manifest lost") << true << qint64(101) << true << false << false;
        QTest::newRow("track cut") << false << qint64(101) << false << true << false;
        QTest::newRow("quit while uploading") << false << qint64(101) << false << false << true;
    }
    void relaunchSendsToTheSameMeeting() {
        QFETCH(bool, quitWhileRecording);
        QFETCH(qint64, meeting);
        QFETCH(bool, manifestLost);
        QFETCH(bool, trackCut);
        QFETCH(bool, quitWhileUploading);
        const QString cutText = QStringLiteral("Диск был заполнен: потеряно 3 с микрофона");
        Harness h;
        QVERIFY(h.startIdle());
        h.script.pushMeeting(answers::meeting(meeting));
        QVERIFY(h.startRecording());
        const QString id = h.recorder.lastRecordingId;
        QByteArray bytes;
        if (quitWhileRecording) {
            QCoro::waitFor(h.vm->prepareToQuit());
            QVERIFY(!h.recorder.isRecording());
            QCOMPARE(h.recorder.stops, 0); // no stop, so no mix
            h.vm.reset();
            h.leaveBehind(id, manifestLost ? "{\"version\": 1, \"id\": " : QByteArray(),
                          {"sys_" + id + ".m4a", "mic_" + id + ".m4a", "live_" + id + ".m4a"});
            const QString mix = h.writeFile(QStringLiteral("mix.m4a"));
            bytes = contentsOf(mix);
            h.recorder.mixes.push_back(RecordedAudio{mix, {}, {}, {}});
        } else {
            bytes = h.mixInRecordingsFolder();
            h.recorder.recorded->loss =
                trackCut ? RecordedAudio::Loss::trackCut : RecordedAudio::Loss::none;
            h.recorder.recorded->affectedTrack = CaptureTrack::microphone;
            h.recorder.recorded->microphoneLostToFullDisk = trackCut ? 2500ms : 0ms;
            if (!trackCut)
                h.script.pushUpload(quitWhileUploading ? TestAnswer::stall()
                                                       : answers::notJson(500));
            h.vm->finishRecording();
            if (quitWhileUploading) {
                QTRY_COMPARE(h.uploads().size(), 1);
            } else {
                QVERIFY(h.settlesOn(AppState::Case::uploadError));
                QCOMPARE(h.vm->uploadErrorText().startsWith(cutText), trackCut);
            }
            QElapsedTimer quitting;
            quitting.start();
            QVERIFY(QCoro::waitFor(h.vm->prepareToQuit()));
            QVERIFY(quitting.elapsed() < 1000);
            h.vm.reset();
        }

        h.launch();
        if (quitWhileRecording) { // whole: it goes by itself
            QTRY_COMPARE(h.uploads().size(), 1);
            const QStringList parts{h.recordings.filePath("mic_" + id + ".m4a"),
                                    h.recordings.filePath("sys_" + id + ".m4a")};
            QCOMPARE(h.recorder.mixedParts, QList<QStringList>{parts});
        } else { // a mix that does not decode is offered as lost audio, told first
            QVERIFY(h.settlesOn(AppState::Case::uploadError));
            QVERIFY(h.vm->uploadErrorText().startsWith(QStringLiteral("Запись от ")));
            QCOMPARE(h.vm->uploadErrorText().contains(cutText), trackCut);
            QCOMPARE(h.vm->pendingMeetingId(), std::optional<std::int64_t>(meeting));
            h.vm->retryUpload();
        }
        QVERIFY(h.settlesOn(AppState::Case::idle));
        const QList<RecordedRequest> uploads = h.uploads();
        QCOMPARE(uploads.last().target,
                 "/api/meetings/" + QByteArray::number(manifestLost ? 102 : meeting) + "/audio");
        QCOMPARE(uploads.last().filePart(), bytes);
        QCOMPARE(h.meetingRequests() - uploads.size(), manifestLost ? 2 : 1); // no other meeting
        QTRY_COMPARE(h.recordingsLeft(), QStringList());
    }
};

QTEST_GUILESS_MAIN(RecordingFlowTest)
#include "tst_recordingflow.moc"
