#include "TrackMixdown.h"

#include <QThreadPool>

#include "AudioDecoder.h"
#include "AudioFileError.h"
#include "M4aWriter.h"
#include "PeakLimiter.h"
#include "RecordingFiles.h"
#include "TrackRemux.h"

#include <QCoroFuture>
#include <QFile>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <limits>

namespace {

constexpr int blockFrames = 4096;

// A part being decoded: its priming is skipped, and it ends at its true length when known.
struct Source {
    AudioDecoder decoder;
    std::int64_t left;

    Source(const PartTrack &part)
        : decoder(part.path)
        , left(part.frames.value_or(std::numeric_limits<std::int64_t>::max())) {
        std::vector<float> priming;
        decoder.read(priming, M4aWriter::primingFrames);
    }

    // Appends up to `frames` frames; false once the part has ended.
    bool read(std::vector<float> &out, int frames) {
        const int wanted = static_cast<int>(std::min<std::int64_t>(frames, left));
        const int got = wanted > 0 ? decoder.read(out, wanted) : 0;
        left -= got;
        return got > 0;
    }
};

void mixInto(const QString &outPath, Source &sys, Source &mic) {
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
            sysOpen = sys.read(sysBlock, blockFrames);
        if (micOpen)
            micOpen = mic.read(micBlock, blockFrames);
        // Each source runs for its own length; the shorter one is followed by silence.
        if (sysBlock.size() < micBlock.size())
            std::swap(sysBlock, micBlock);
        for (size_t i = 0; i < micBlock.size(); ++i)
            sysBlock[i] += micBlock[i];
        limiter.process(sysBlock);
        out.write(sysBlock);
    }
    out.finish();
}

QStringList pathsOf(const std::vector<const PartTrack *> &parts) {
    QStringList paths;
    for (const PartTrack *part : parts)
        paths << part->path;
    return paths;
}

} // namespace

RecordedAudio mixdown(const std::vector<PartTrack> &parts) {
    // Opening the decoders first means a part that cannot be read costs no output file.
    std::vector<const PartTrack *> readable, unreadable;
    std::vector<std::unique_ptr<Source>> sources;
    for (const PartTrack &part : parts) {
        try {
            sources.push_back(std::make_unique<Source>(part));
            readable.push_back(&part);
        } catch (const AudioDecoder::Error &) {
            unreadable.push_back(&part);
        }
    }
    RecordedAudio result;
    result.partFiles = pathsOf(unreadable);
    QString outPath;
    try {
        if (readable.empty())
            throw AudioFileError("no part file can be read");
        // Named after the recording; a mix that a crash cut short is replaced.
        outPath = RecordingFiles::mixFor(readable[0]->path);
        QFile::remove(outPath);
        if (readable.size() >= 2)
            mixInto(outPath, *sources[0], *sources[1]);
        else
            remuxTrack(readable[0]->path, outPath, readable[0]->frames);
    } catch (const AudioFileError &) {
        // A full disk, a vanished folder, a broken encoder: nothing is handed back but the
        // parts, to be mixed again once the cause is gone.
        if (!outPath.isEmpty())
            QFile::remove(outPath);
        result.partFiles = pathsOf(readable) + pathsOf(unreadable);
        result.loss = RecordedAudio::Loss::mixFailed;
        return result;
    }

    result.filePath = outPath;
    for (const PartTrack *part : readable)
        QFile::remove(part->path);
    std::vector<CaptureTrack> cut;
    for (const PartTrack &part : parts) {
        const bool left =
            std::find(unreadable.begin(), unreadable.end(), &part) != unreadable.end();
        if (part.cut || left)
            cut.push_back(part.track);
    }
    if (!cut.empty()) {
        result.loss = RecordedAudio::Loss::trackCut;
        if (std::all_of(cut.begin(), cut.end(), [&](CaptureTrack t) { return t == cut.front(); }))
            result.affectedTrack = cut.front();
    }
    return result;
}

RecordedAudio mixdown(const std::vector<PartTrack> &parts, const std::optional<LiveMixFile> &live) {
    if (!live)
        return mixdown(parts);
    // A part that lost audio is reported by the mixdown, which knows which one it was.
    const bool whole =
        std::none_of(parts.begin(), parts.end(), [](const PartTrack &part) { return part.cut; });
    if (whole && !parts.empty()) {
        const QString outPath = RecordingFiles::mixFor(parts.front().path);
        try {
            QFile::remove(outPath);
            if (remuxTrack(live->path, outPath, live->frames) < live->frames)
                throw AudioFileError("the live mix ends early");
            QFile::remove(live->path);
            for (const PartTrack &part : parts)
                QFile::remove(part.path);
            RecordedAudio result;
            result.filePath = outPath;
            return result;
        } catch (const AudioFileError &) {
            QFile::remove(outPath);
        }
    }
    QFile::remove(live->path);
    return mixdown(parts);
}

namespace {

// Never destroyed: the program's exit must not wait for a mix under way. The parts stay on
// disk and the next launch mixes them again.
QThreadPool &mixdownPool() {
    static QThreadPool *const pool = new QThreadPool;
    return *pool;
}

} // namespace

QCoro::Task<RecordedAudio> mergeTracks(std::vector<PartTrack> parts,
                                       std::optional<LiveMixFile> live) {
    // The worker owns a copy of its input, so nothing it reads can go away while it runs.
    QFuture<RecordedAudio> done =
        QtConcurrent::run(&mixdownPool(), [parts = std::move(parts), live = std::move(live)] {
            return mixdown(parts, live);
        });
    co_return co_await done;
}
