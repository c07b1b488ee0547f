// A quit while the stop is still writing (the encoder draining to a slow disk, the mix being
// made): the program waits for it, writes down where the recording got and ends cleanly; when
// the wait runs out it ends as a crash would. Either way the next launch sends the whole
// recording to its meeting. The real recorder, on a private sound server, in a child process.

#include "AudioProbe.h"
#include "AudioRecorder.h"
#include "SoundServer.h"
#include "ViewModelHarness.h"

#include <QProcess>

#include <dlfcn.h>
#include <unistd.h>

namespace {

// A disk that takes its time over every sync, as a busy USB stick does: set in the child only.
int slowSync(const char *name, int fd) {
    using Sync = int (*)(int);
    static const int delayMs = qEnvironmentVariableIntValue("TOLVEX_TEST_SLOW_SYNC_MS");
    ::usleep(static_cast<useconds_t>(delayMs) * 1000);
    return reinterpret_cast<Sync>(dlsym(RTLD_NEXT, name))(fd);
}

// The program's quit, as TolvexApp makes it: record for two seconds, stop, and quit at once.
int recordStopAndQuit(const QStringList &arguments) {
    AppViewModel vm(AppViewModel::Seams{
        .apiBaseUrl = arguments[2],
        .tokenStore = std::make_shared<MemoryTokenStore>(QStringLiteral("token-1")),
        .linkOpener = std::make_shared<RecordingLinkOpener>(),
        .recorder = &AudioRecorder::shared(),
        .quitWaitLimit = std::chrono::milliseconds(arguments[3].toInt())});
    const auto reaches = [&vm](AppState::Case screen) {
        return QTest::qWaitFor([&] { return vm.stateCase() == screen && !vm.isBusy(); }, 10000);
    };
    if (!reaches(AppState::Case::idle) ||
        (vm.beginRecording(), !reaches(AppState::Case::recording)))
        return 2;
    QTest::qWait(2000);
    vm.finishRecording();
    if (!QCoro::waitFor(vm.prepareToQuit()))
        std::_Exit(3);
    return 0;
}

} // namespace

extern "C" int fdatasync(int fd) {
    return slowSync("fdatasync", fd);
}
extern "C" int fsync(int fd) {
    return slowSync("fsync", fd);
}

class QuitDuringStopTest : public QObject {
    Q_OBJECT

private slots:
    void nextLaunchSendsTheWholeRecording_data() {
        QTest::addColumn<int>("waitMs");
        QTest::addColumn<int>("exitStatus");
        QTest::newRow("the stop finishes within the wait") << 10'000 << 0;
        QTest::newRow("the wait runs out") << 300 << 3;
    }
    void nextLaunchSendsTheWholeRecording() {
        QFETCH(int, waitMs);
        QFETCH(int, exitStatus);
        const std::unique_ptr<SoundServer> sound = startSoundServer();
        QVERIFY2(sound->isRunning(), qPrintable(sound->error()));
        sound->play(SoundServer::speakers, SoundServer::tone(440, 20.0, 0.5f),
                    SoundServer::Buffer::long_);
        sound->play(SoundServer::micSink, SoundServer::tone(1000, 20.0, 0.5f),
                    SoundServer::Buffer::long_);
        Harness h;
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("TOLVEX_TEST_SLOW_SYNC_MS"), QStringLiteral("400"));
        // The recorder's own folder, which the next launch is pointed at.
        environment.insert(QStringLiteral("XDG_DATA_HOME"), h.folder.path());
        h.seams.recordingsFolder = h.folder.filePath(QStringLiteral("tolvex/recordings"));
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--record-stop-and-quit"), h.server.baseUrl(),
                     QString::number(waitMs)});
        QTRY_VERIFY_WITH_TIMEOUT(child.state() == QProcess::NotRunning, 40000);
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), exitStatus);
        const QStringList left =
            QDir(h.seams.recordingsFolder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
        QVERIFY(!left.isEmpty());
        const QString id = left.first().left(36);
        const auto manifest =
            RecordingManifest::fromJson(contentsOf(h.seams.recordingsFolder + '/' + id + ".json"));
        QVERIFY(manifest);
        // Within the wait the stop's end is written down: the mix, whole, and nothing else.
        if (exitStatus == 0) {
            QCOMPARE(manifest->stage, RecordingManifest::Stage::mixed);
            QCOMPARE(left, (QStringList{id + ".json", id + ".m4a"}));
        }

        AudioRecorder mixer;
        h.seams.recorder = &mixer;
        h.launch(); // whole, so sent by itself
        QTRY_COMPARE_WITH_TIMEOUT(h.uploads().size(), 1, 15000);
        QVERIFY(h.settlesOn(AppState::Case::idle));
        QCOMPARE(h.uploads().first().target, QByteArray("/api/meetings/101/audio"));
        const QString sent = h.folder.filePath(QStringLiteral("sent.m4a"));
        QFile file(sent);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(h.uploads().first().filePart()) > 0);
        file.close();
        const std::vector<float> audio = AudioProbe::decode(sent);
        const double length = AudioProbe::seconds(audio);
        QVERIFY2(length > 1.5, qPrintable(QString::number(length)));
        QVERIFY(AudioProbe::tone(audio, 440, 0.3, length - 0.2) > 0.2);
        QVERIFY(AudioProbe::tone(audio, 1000, 0.3, length - 0.2) > 0.2);
    }
};

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("--record-stop-and-quit"))
        return recordStopAndQuit(app.arguments());
    QuitDuringStopTest test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_quitduringstop.moc"
