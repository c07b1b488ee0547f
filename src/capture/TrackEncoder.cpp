#include "TrackEncoder.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <QLoggingCategory>

#include <algorithm>
#include <array>

// Off by default: QT_LOGGING_RULES="tolvex.capture.timeline.debug=true" prints every chunk.
Q_LOGGING_CATEGORY(timelineLog, "tolvex.capture.timeline", QtInfoMsg)

namespace {

// What the chunk brought and where the timeline put it; counts and times, never audio.
void logChunk(const CaptureChunk &chunk, const TrackTimeline::Step &step, std::int64_t written) {
    const char *track = chunk.track == CaptureTrack::system ? "system" : "microphone";
    if (chunk.kind != CaptureChunk::Kind::audio) {
        qCDebug(timelineLog, "CHUNK %s %s frames=%lld written=%lld", track,
                chunk.kind == CaptureChunk::Kind::hole ? "hole" : "dropped",
                static_cast<long long>(chunk.frames), static_cast<long long>(written));
        return;
    }
    qCDebug(timelineLog,
            "CHUNK %s audio frames=%lld cap=%lld arr=%lld start=%d silence=%lld skip=%lld "
            "written=%lld index=%lld report=%lld write=%lld source_us=%lld sink_us=%lld",
            track, static_cast<long long>(chunk.frames), static_cast<long long>(chunk.captureNs),
            static_cast<long long>(chunk.arrivalNs), chunk.streamStart ? 1 : 0,
            static_cast<long long>(step.silence), static_cast<long long>(step.skip),
            static_cast<long long>(written), static_cast<long long>(chunk.streamFrame),
            static_cast<long long>(chunk.timing.reportNs),
            static_cast<long long>(chunk.timing.writeFrame),
            static_cast<long long>(chunk.timing.sourceUs),
            static_cast<long long>(chunk.timing.sinkUs));
}

// Not const: FFmpeg 5.1's swr_alloc_set_opts2 takes non-const layouts.
AVChannelLayout stereoLayout = AV_CHANNEL_LAYOUT_STEREO;
constexpr int silenceBlockFrames = 4096;
const std::array<float, silenceBlockFrames * M4aWriter::channels> silenceBlock{};

} // namespace

TrackEncoder::TrackEncoder(QString path, std::unique_ptr<M4aWriter> writer, std::int64_t originNs,
                           std::int64_t roomWaitFrames)
    : m_path(std::move(path))
    , m_writer(std::move(writer))
    , m_timeline(originNs, M4aWriter::sampleRate)
    , m_roomWaitFrames(roomWaitFrames)
    , m_created(m_writer != nullptr) {}

TrackReport TrackEncoder::report() const noexcept {
    TrackReport report;
    report.writerFailed = m_failed;
    report.framesDropped = m_dropped;
    report.framesLostToFullDisk = m_lostToFullDisk;
    report.framesWritten = m_timeline.framesWritten();
    report.fileCreated = m_created;
    return report;
}

void TrackEncoder::openOutput() {
    if (!m_writer) {
        m_writer = std::make_unique<M4aWriter>(m_path, M4aWriter::Layout::fragmented);
        m_created = true;
    }
    if (m_resampler)
        return;
    SwrContext *swr = nullptr;
    const int rate = M4aWriter::sampleRate;
    if (swr_alloc_set_opts2(&swr, &stereoLayout, AV_SAMPLE_FMT_FLT, rate, &stereoLayout,
                            AV_SAMPLE_FMT_FLT, rate, 0, nullptr) < 0)
        throw M4aWriter::Error("cannot allocate the resampler");
    m_resampler.reset(swr);
    // Resampling from the first frame on, so a stretch never switches the filter in midway.
    if (av_opt_set_int(swr, "flags", SWR_FLAG_RESAMPLE, 0) < 0 || swr_init(swr) < 0)
        throw M4aWriter::Error("cannot set up the resampler");
}

void TrackEncoder::resample(const float *interleaved, int frames) {
    const int capacity = swr_get_out_samples(m_resampler.get(), frames);
    if (capacity < 0)
        throw M4aWriter::Error("cannot resample");
    m_resampled.resize(static_cast<std::size_t>(capacity) * M4aWriter::channels);
    auto *out = reinterpret_cast<std::uint8_t *>(m_resampled.data());
    const auto *in = reinterpret_cast<const std::uint8_t *>(interleaved);
    const int produced =
        swr_convert(m_resampler.get(), &out, capacity, interleaved ? &in : nullptr, frames);
    if (produced < 0)
        throw M4aWriter::Error("cannot resample");
    deliver({m_resampled.data(), static_cast<std::size_t>(produced) * M4aWriter::channels});
}

void TrackEncoder::deliver(std::span<const float> interleaved) {
    if (m_tap)
        m_tap(interleaved);
    if (m_disk == Disk::room) {
        m_writer->write(interleaved);
        // What the writer took waits inside it; the next audio waits here.
        if (m_writer->waitsForRoom())
            m_disk = Disk::full;
        return;
    }
    m_waiting.insert(m_waiting.end(), interleaved.begin(), interleaved.end());
    const auto excess =
        static_cast<std::int64_t>(m_waiting.size() / M4aWriter::channels) - m_roomWaitFrames;
    if (excess > 0) {
        // The oldest goes: the gap then sits where the disk filled up, and what was said
        // while the user made room joins on to what follows without a break.
        m_waiting.erase(m_waiting.begin(), m_waiting.begin() + excess * M4aWriter::channels);
        m_silenceOwed += excess;
        m_lostToFullDisk += excess;
    }
}

void TrackEncoder::writeWaiting() {
    if (m_disk == Disk::room || !m_writer->writeWaiting())
        return;
    // A block at a time, stopping as soon as the disk is full again, so the rest stays here.
    while (m_silenceOwed > 0) {
        const std::int64_t block = std::min<std::int64_t>(m_silenceOwed, silenceBlockFrames);
        m_writer->writeSilence(block);
        m_silenceOwed -= block;
        if (m_writer->waitsForRoom())
            return;
    }
    while (!m_waiting.empty()) {
        const auto end = m_waiting.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(
                                                 m_waiting.size(), silenceBlock.size()));
        m_block.assign(m_waiting.begin(), end);
        m_waiting.erase(m_waiting.begin(), end);
        m_writer->write(m_block);
        if (m_writer->waitsForRoom())
            return;
    }
    m_disk = Disk::room;
}

void TrackEncoder::writeSilence(std::int64_t frames) {
    while (frames > 0) {
        const auto block = static_cast<int>(std::min<std::int64_t>(frames, silenceBlockFrames));
        resample(silenceBlock.data(), block);
        frames -= block;
    }
}

void TrackEncoder::take(const CaptureChunk &chunk) {
    if (chunk.kind == CaptureChunk::Kind::dropped)
        m_dropped += chunk.frames;
    if (m_failed)
        return;
    try {
        openOutput();
        writeWaiting();
        switch (chunk.kind) {
        case CaptureChunk::Kind::audio: {
            const TrackTimeline::Step step = m_timeline.placeAudio(
                chunk.frames, chunk.captureNs, chunk.arrivalNs, chunk.streamStart);
            logChunk(chunk, step, m_timeline.framesWritten());
            writeSilence(step.silence);
            if (chunk.frames > step.skip)
                resample(chunk.samples.data() + step.skip * M4aWriter::channels,
                         static_cast<int>(chunk.frames - step.skip));
            if (step.stretch && swr_set_compensation(m_resampler.get(), step.stretch->delta,
                                                     step.stretch->distance) < 0)
                throw M4aWriter::Error("cannot stretch the track");
            break;
        }
        case CaptureChunk::Kind::hole:
        case CaptureChunk::Kind::dropped:
            m_timeline.placeSilence(chunk.frames);
            logChunk(chunk, {}, m_timeline.framesWritten());
            writeSilence(chunk.frames);
            break;
        }
    } catch (const M4aWriter::Error &) {
        // A full disk or a vanished folder: the fragments already flushed stay playable, and
        // the other track carries on.
        m_failed = true;
    }
}

void TrackEncoder::sync() {
    if (m_writer && !m_failed && m_disk == Disk::room)
        m_writer->sync();
}

void TrackEncoder::finish(std::int64_t stopNs) {
    try {
        // A track that never received a chunk still gets its file when one was made for it.
        if (!m_failed && m_writer) {
            openOutput();
            writeWaiting();
            writeSilence(m_timeline.padTo(stopNs));
            resample(nullptr, 0);
            writeWaiting();
            if (m_disk == Disk::full) {
                // Still no room at the stop: what waits here is lost, and finishing the file
                // fails. The silence owed was counted when the audio it stands for went.
                m_lostToFullDisk +=
                    static_cast<std::int64_t>(m_waiting.size()) / M4aWriter::channels;
                m_waiting.clear();
            }
        }
        if (m_writer)
            m_writer->finish();
    } catch (const M4aWriter::Error &) {
        m_failed = true;
    }
    // The file ends where the disk filled up: what the writer took after that is lost too.
    if (m_writer)
        m_lostToFullDisk += m_writer->framesAwaitingRoom();
    m_writer.reset();
}
