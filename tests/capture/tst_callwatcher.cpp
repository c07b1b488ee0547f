// Which capture streams are calls, on a real sound server: another program's stream on a
// microphone is; a recording of the speakers, a level meter and this program's own meter are not.
// And how often the watcher looks for a sound server that is not there.

#include "CallWatcher.h"
#include "MicLevelMonitor.h"
#include "PulseHandles.h"
#include "RecorderRig.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <cstring>
#include <memory>

#include <pulse/mainloop.h>

namespace {

// A volume applet's meter in a process of its own: a peak-detecting stream on `device`, read
// until the process is killed.
int runPeakMeter(const char *device) {
    std::unique_ptr<pa_mainloop, decltype(&pa_mainloop_free)> loop(pa_mainloop_new(),
                                                                   &pa_mainloop_free);
    pulse::ContextPtr context(pa_context_new(pa_mainloop_get_api(loop.get()), "Meter"));
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0)
        return 1;
    while (pa_context_get_state(context.get()) != PA_CONTEXT_READY)
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context.get())) ||
            pa_mainloop_iterate(loop.get(), 1, nullptr) < 0)
            return 1;
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, 25, 1};
    pulse::StreamPtr stream(pa_stream_new(context.get(), "Peak", &spec, nullptr));
    pa_stream_set_read_callback(
        stream.get(),
        [](pa_stream *s, size_t, void *) {
            const void *data = nullptr;
            std::size_t bytes = 0;
            while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0)
                pa_stream_drop(s);
        },
        nullptr);
    if (pa_stream_connect_record(stream.get(), device, nullptr, PA_STREAM_PEAK_DETECT) < 0)
        return 1;
    return pa_mainloop_run(loop.get(), nullptr);
}

} // namespace

class CallWatcherTest : public QObject {
    Q_OBJECT

private slots:
    // Streams that are no call come first and are never reported; then a call, twice: each is
    // reported by its program's name and reported closed when it ends.
    void onlyAnotherProgramsMicrophoneStreamIsACall() {
        const std::unique_ptr<SoundServer> server = startSoundServer();
        VERIFY_RUNNING(*server);
        CallWatcher watcher;
        QList<QString> opened;
        QList<quint32> openedIndexes, closed;
        connect(&watcher, &CallWatcher::captureOpened, this,
                [&](quint32 index, const QString &application) {
                    openedIndexes.append(index);
                    opened.append(application);
                });
        connect(&watcher, &CallWatcher::captureClosed, this,
                [&](quint32 index) { closed.append(index); });
        watcher.start();

        QProcess speakers, meter;
        speakers.setStandardOutputFile(QProcess::nullDevice());
        speakers.start("parec", {"--raw", "--device=speakers.monitor",
                                 "--property=application.name=Speakers"});
        meter.start(QCoreApplication::applicationFilePath(), {"--peak-meter", "mic"});
        MicLevelMonitor ownMeter;
        ownMeter.start();
        QTRY_COMPARE_WITH_TIMEOUT(server->recordingStreams(), 3, 5000);
        QTest::qWait(1000);
        QVERIFY2(opened.isEmpty(), qPrintable(opened.join(',')));

        for (int call = 1; call <= 2; ++call) {
            QProcess browser;
            browser.setStandardOutputFile(QProcess::nullDevice());
            browser.start("parec",
                          {"--raw", "--device=mic", "--property=application.name=Firefox"});
            QTRY_COMPARE_WITH_TIMEOUT(opened.size(), call, 5000);
            QCOMPARE(opened.last(), QStringLiteral("Firefox"));
            browser.kill();
            browser.waitForFinished();
            QTRY_VERIFY_WITH_TIMEOUT(closed.contains(openedIndexes.last()), 5000);
        }
        speakers.kill();
        meter.kill();
        speakers.waitForFinished();
        meter.waitForFinished();
    }

    // A server that restarts is found again within seconds; a machine without one is knocked
    // on once in two minutes at most, not every few seconds.
    void reconnectsSoonThenSeldom_data() {
        QTest::addColumn<int>("failedTries");
        QTest::addColumn<int>("seconds");
        for (const auto &[tries, seconds] :
             {std::pair{0, 5}, {1, 10}, {2, 20}, {3, 40}, {4, 80}, {5, 120}, {60, 120}})
            QTest::addRow("%d tries", tries) << tries << seconds;
    }
    void reconnectsSoonThenSeldom() {
        QFETCH(int, failedTries);
        QFETCH(int, seconds);
        QCOMPARE(CallWatcher::reconnectSeconds(failedTries), seconds);
    }
};

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "--peak-meter") == 0)
        return runPeakMeter(argv[2]);
    QCoreApplication app(argc, argv);
    CallWatcherTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_callwatcher.moc"
