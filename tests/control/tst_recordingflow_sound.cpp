// The recording flow with the real recorder on a private PulseAudio daemon: what reaches the
// service when the sound server goes away.
// (The ordinary recording and upload is the end-to-end test's, on the real program.)

#include "AppViewModel.h"
#include "AudioProbe.h"
#include "AudioRecorder.h"
#include "ControlTestDoubles.h"
#include "PulseServer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {

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

// A signed-in program on its own sound server and scripted service.
struct Setup {
    PulseServer sound;
    ServiceScript script;
    TestHttpServer service;
    AudioRecorder recorder;
    std::unique_ptr<AppViewModel> vm;

    // Signed in and idle, ready to record.
    bool signIn() {
        if (!sound.isRunning())
            return false;
        sound.keepBusy(PulseServer::speakers);
        PulseServer::settle();
        service.setHandler(
            [this](const RecordedRequest &request) { return script.answer(request); });
        vm = std::make_unique<AppViewModel>(AppViewModel::Seams{
            service.baseUrl(), std::make_shared<MemoryTokenStore>(QStringLiteral("token-7")),
            std::make_shared<RecordingLinkOpener>(), 2s, &recorder});
        return QTest::qWaitFor([&] { return vm->stateCase() == AppState::Case::idle; });
    }

    // Until the tone plays: idle, then recording.
    bool startRecording() {
        if (!signIn())
            return false;
        vm->beginRecording();
        return QTest::qWaitFor([&] { return vm->stateCase() == AppState::Case::recording; }, 10000);
    }
};

class RecordingFlowSoundTest : public QObject {
    Q_OBJECT

private slots:
    void soundServerGoneMidRecordingStillUploads() {
        Setup setup;
        QVERIFY2(setup.startRecording(), qPrintable(setup.sound.error()));
        setup.sound.play(PulseServer::speakers, PulseServer::tone(440, 5.0, 0.5f));
        QTest::qWait(2500);
        setup.sound.kill();
        QTest::qWait(500);

        setup.vm->finishRecording();
        QTRY_COMPARE_WITH_TIMEOUT(setup.vm->stateCase(), AppState::Case::idle, 30000);
        QTemporaryDir received;
        const std::vector<float> audio = uploadedAudio(setup.service, received);
        // What was heard before the server went away reaches the service.
        QVERIFY2(seconds(audio) > 2.0, qPrintable(QString::number(seconds(audio))));
        QVERIFY(AudioProbe::toneAmplitude(audio, 0, 440, 0.5, 1.5) > 0.15);
    }
};

QTEST_GUILESS_MAIN(RecordingFlowSoundTest)
#include "tst_recordingflow_sound.moc"
