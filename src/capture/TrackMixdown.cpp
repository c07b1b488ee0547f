#include "TrackMixdown.h"

#include "AudioDecoder.h"
#include "AudioFiles.h"
#include "M4aWriter.h"
#include "PeakLimiter.h"

#include <QCoroThread>
#include <QPointer>
#include <QThread>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr int blockFrames = 4096;

// A mix still running when its caller goes away (the program quits mid-stop) finishes on its
// own and then deletes its thread; destroying a running QThread would abort the process.
struct WorkerDeleter {
    void operator()(QThread *thread) const {
        if (thread->isRunning())
            QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
        else
            delete thread;
    }
};

// Both decoders are opened before the output exists, so a source that cannot be read costs
// no file at all. Returns the mixed file, or nothing when the mix could not be made.
std::optional<QString> mixToNewFile(const QString &sysPath, const QString &micPath) {
    std::optional<AudioDecoder> sys, mic;
    try {
        sys.emplace(sysPath);
        mic.emplace(micPath);
    } catch (const AudioDecoder::Error &) {
        return std::nullopt;
    }

    QString outPath;
    try {
        outPath = AudioFiles::newFilePath(QString());
        M4aWriter out(outPath, M4aWriter::Layout::faststart);
        PeakLimiter limiter(M4aWriter::sampleRate);
        std::vector<float> sysBlock, micBlock;
        sysBlock.reserve(blockFrames * 2);
        micBlock.reserve(blockFrames * 2);
        bool sysOpen = true, micOpen = true;
        while (sysOpen || micOpen) {
            sysBlock.clear();
            micBlock.clear();
            if (sysOpen)
                sysOpen = sys->read(sysBlock, blockFrames) > 0;
            if (micOpen)
                micOpen = mic->read(micBlock, blockFrames) > 0;
            // Each source runs for its own length; the shorter one is followed by silence.
            if (sysBlock.size() < micBlock.size())
                std::swap(sysBlock, micBlock);
            for (size_t i = 0; i < micBlock.size(); ++i)
                sysBlock[i] += micBlock[i];
            limiter.process(sysBlock);
            out.write(sysBlock);
        }
        out.finish();
    } catch (const AudioFileError &) { // the folder, the file or the encoder failed
        return std::nullopt;
    }
    return outPath;
}

} // namespace

QCoro::Task<QString> mergeTracks(QString sysPath, QString micPath) {
    // The worker owns copies of its inputs and hands its answer back through this shared slot,
    // so nothing it touches can disappear while it runs.
    auto result = std::make_shared<std::optional<QString>>();
    std::unique_ptr<QThread, WorkerDeleter> worker(
        QThread::create([result, sysPath, micPath] { *result = mixToNewFile(sysPath, micPath); }));
    worker->setObjectName(QStringLiteral("tolvex.mixdown"));
    worker->start();
    co_await qCoro(worker.get()).waitForFinished();
    co_return result->value_or(sysPath);
}
