// The whole recording flow with the real recorder on a private PulseAudio daemon: what the
// service receives is the meeting's audio, and nothing stays behind on disk.

#include "AppViewModel.h"
#include "AudioFiles.h"
#include "AudioProbe.h"
#include "AudioRecorder.h"
#include "ControlTestDoubles.h"
#include "PulseServer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {

// The bytes of the one file part of a multipart upload.
QByteArray filePart(const RecordedRequest &request) {
    const QByteArray contentType = request.header("Content-Type").value_or("");
    const QByteArray boundary = contentType.mid(contentType.indexOf("boundary=") + 9);
    const qsizetype start = request.body.indexOf("\r\n\r\n") + 4;
    const qsizetype end = request.body.lastIndexOf("\r\n--" + boundary + "--");
    return start >= 4 && end > start ? request.body.mid(start, end - start) : QByteArray();
}

// The audio of the one upload the service received; empty when there was not exactly one.
std::vector<float> uploadedAudio(const TestHttpServer &service, const QTemporaryDir &folder) {
    QList<RecordedRequest> uploads;
    for (const RecordedRequest &request : service.requests()) {
        if (request.target.endsWith("/audio"))
            uploads.append(request);
    }
    if (uploads.size() != 1)
        return {};
    const QString file = folder.filePath(QStringLiteral("received.m4a"));
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(filePart(uploads[0])) <= 0)
        return {};
    out.close();
    return AudioProbe::decode(file);
}

double seconds(const std::vector<float> &audio) {
    return static_cast<double>(audio.size()) / 2.0 / 44100.0;
}

} // namespace

class RecordingFlowSoundTest : public QObject {
    Q_OBJECT

private slots:
    void recordedToneReachesTheService() {
        PulseServer sound;
        QVERIFY2(sound.isRunning(), qPrintable(sound.error()));
        sound.keepBusy(PulseServer::speakers);
        PulseServer::settle();

        ServiceScript script;
        TestHttpServer service;
        service.setHandler([&](const RecordedRequest &request) { return script.answer(request); });
        AudioRecorder recorder;
        AppViewModel vm(AppViewModel::Seams{
            service.baseUrl(), std::make_shared<MemoryTokenStore>(QStringLiteral("token-7")),
            std::make_shared<RecordingLinkOpener>(), 2s, &recorder});
        QTRY_COMPARE(vm.stateCase(), AppState::Case::idle);

        vm.beginRecording();
        QTRY_COMPARE_WITH_TIMEOUT(vm.stateCase(), AppState::Case::recording, 10000);
        QVERIFY(recorder.isRecording());
        sound.play(PulseServer::speakers, PulseServer::tone(440, 2.0, 0.5f));
        QTest::qWait(2500);

        vm.finishRecording();
        QCOMPARE(vm.stateCase(), AppState::Case::uploading);
        QTRY_COMPARE_WITH_TIMEOUT(vm.stateCase(), AppState::Case::idle, 30000);
        QVERIFY(!recorder.isRecording());

        QCOMPARE(service.requests().last().target, QByteArray("/api/auth/me"));
        QTemporaryDir received;
        const std::vector<float> audio = uploadedAudio(service, received);
        QVERIFY2(seconds(audio) > 2.0, qPrintable(QString::number(seconds(audio))));
        // The tone started as soon as capture ran and lasted 2 s.
        QVERIFY(AudioProbe::toneAmplitude(audio, 0, 440, 0.5, 1.5) > 0.15);
        QVERIFY(AudioProbe::toneAmplitude(audio, 0, 1000, 0.5, 1.5) < 0.02);

        // Part files and the mixed file are all gone once the upload succeeded.
        QCOMPARE(QDir(AudioFiles::privateFolder()).entryList(QDir::Files), QStringList());
    }

    void soundServerGoneMidRecordingStillUploads() {
        auto sound = std::make_unique<PulseServer>();
        QVERIFY2(sound->isRunning(), qPrintable(sound->error()));
        sound->keepBusy(PulseServer::speakers);
        PulseServer::settle();

        ServiceScript script;
        TestHttpServer service;
        service.setHandler([&](const RecordedRequest &request) { return script.answer(request); });
        AudioRecorder recorder;
        AppViewModel vm(AppViewModel::Seams{
            service.baseUrl(), std::make_shared<MemoryTokenStore>(QStringLiteral("token-8")),
            std::make_shared<RecordingLinkOpener>(), 2s, &recorder});
        QTRY_COMPARE(vm.stateCase(), AppState::Case::idle);

        vm.beginRecording();
        QTRY_COMPARE_WITH_TIMEOUT(vm.stateCase(), AppState::Case::recording, 10000);
        sound->play(PulseServer::speakers, PulseServer::tone(440, 5.0, 0.5f));
        QTest::qWait(2500);
        sound->kill();
        QTest::qWait(500);

        vm.finishRecording();
        QTRY_COMPARE_WITH_TIMEOUT(vm.stateCase(), AppState::Case::idle, 30000);
        QTemporaryDir received;
        const std::vector<float> audio = uploadedAudio(service, received);
        // What was heard before the server went away reaches the service.
        QVERIFY2(seconds(audio) > 2.0, qPrintable(QString::number(seconds(audio))));
        QVERIFY(AudioProbe::toneAmplitude(audio, 0, 440, 0.5, 1.5) > 0.15);
    }
};

QTEST_GUILESS_MAIN(RecordingFlowSoundTest)
#include "tst_recordingflow_sound.moc"
