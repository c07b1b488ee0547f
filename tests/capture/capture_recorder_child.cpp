// Starts a recording and keeps it running until the process is killed; prints the two part
// files' paths, one per line, once capture runs. The SIGKILL test runs it.

#include "AudioFiles.h"
#include "AudioRecorder.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

namespace {

QCoro::Task<> record() {
    try {
        co_await AudioRecorder::shared().startRecording(AudioFiles::newRecordingId());
    } catch (const std::exception &error) {
        std::fprintf(stderr, "start failed: %s\n", error.what());
        QCoreApplication::exit(2);
        co_return;
    }
    std::printf("%s\n%s\n", qPrintable(AudioRecorder::shared().sysPath()),
                qPrintable(AudioRecorder::shared().micPath()));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QTimer::singleShot(0, [] { record(); });
    return app.exec();
}
