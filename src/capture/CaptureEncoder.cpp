#include "CaptureEncoder.h"

#include <pthread.h>

#include <vector>

namespace {

bool whole(const TrackReport &track) {
    return track.fileCreated && !track.writerFailed && track.framesDropped == 0 &&
           track.framesLostToFullDisk == 0;
}

} // namespace

CaptureEncoder::CaptureEncoder(TrackEncoder system, TrackEncoder microphone,
                               std::unique_ptr<LiveMix> liveMix, std::int64_t queueLimitFrames)
    : m_system(std::move(system))
    , m_microphone(std::move(microphone))
    , m_liveMix(std::move(liveMix))
    , m_queueLimitFrames(queueLimitFrames) {
    if (m_liveMix) {
        LiveMix *mix = m_liveMix.get();
        m_system.setTap([mix](std::span<const float> s) { mix->add(CaptureTrack::system, s); });
        m_microphone.setTap(
            [mix](std::span<const float> s) { mix->add(CaptureTrack::microphone, s); });
    }
    m_finished.start();
    m_thread = std::thread([this] { run(); });
    pthread_setname_np(m_thread.native_handle(), "tolvex.encode");
}

CaptureEncoder::~CaptureEncoder() {
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        if (!m_stopNs)
            m_stopNs = steadyNowNs();
    }
    m_wake.notify_one();
    m_thread.join();
}

void CaptureEncoder::push(CaptureChunk chunk) {
    {
        std::lock_guard lock(m_mutex);
        if (chunk.kind == CaptureChunk::Kind::audio) {
            if (m_pendingFrames + chunk.frames > m_queueLimitFrames) {
                // The newest audio goes: what waits already continues the file without a break,
                // so the loss is one gap of counted silence rather than holes cut into the queue.
                markDropped(chunk.track, chunk.frames);
                return;
            }
            m_pendingFrames += chunk.frames;
        }
        m_queue.push_back(std::move(chunk));
    }
    m_wake.notify_one();
}

// Consecutive drops of a track grow one marker, so a disk that never recovers costs nothing.
void CaptureEncoder::markDropped(CaptureTrack track, std::int64_t frames) {
    for (auto it = m_queue.rbegin(); it != m_queue.rend(); ++it) {
        if (it->track != track)
            continue;
        if (it->kind == CaptureChunk::Kind::dropped) {
            it->frames += frames;
            return;
        }
        break;
    }
    CaptureChunk marker;
    marker.track = track;
    marker.kind = CaptureChunk::Kind::dropped;
    marker.frames = frames;
    m_queue.push_back(std::move(marker));
}

std::int64_t CaptureEncoder::pendingFrames() {
    std::lock_guard lock(m_mutex);
    return m_pendingFrames;
}

QFuture<CaptureReport> CaptureEncoder::finish(std::int64_t stopNs) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_stopNs)
            m_stopNs = stopNs;
    }
    m_wake.notify_one();
    return m_finished.future();
}

// On this thread, never the sound server's: a sync waits for the disk.
void CaptureEncoder::syncFiles() {
    m_system.sync();
    m_microphone.sync();
    if (m_liveMix)
        m_liveMix->sync();
}

void CaptureEncoder::run() {
    std::vector<CaptureChunk> batch;
    std::optional<std::int64_t> syncedNs; // when the audio synced last was read
    bool started = false;                 // the first audio has set the origin
    for (;;) {
        std::optional<std::int64_t> stopNs;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return !m_queue.empty() || m_stopNs; });
            batch.assign(std::make_move_iterator(m_queue.begin()),
                         std::make_move_iterator(m_queue.end()));
            m_queue.clear();
            stopNs = m_stopNs;
        }
        for (const CaptureChunk &chunk : batch) {
            if (!started && chunk.kind == CaptureChunk::Kind::audio) {
                // The recording begins with the first sample the server delivered, not at the
                // click: the time the streams took to open is no silence of the meeting's.
                m_system.startAt(chunk.captureNs);
                m_microphone.startAt(chunk.captureNs);
                started = true;
            }
            TrackEncoder &track = chunk.track == CaptureTrack::system ? m_system : m_microphone;
            track.take(chunk);
            // Audio lost on the way means the stop mixes the parts and reports the loss: the
            // live mix stops costing disk and time at once. On a full disk it gives its room
            // to the parts, which the stop mixes whole.
            if (m_liveMix && (chunk.kind == CaptureChunk::Kind::dropped || !track.healthy() ||
                              track.waitsForRoom()))
                m_liveMix->abandon();
            if (chunk.kind != CaptureChunk::Kind::audio)
                continue;
            {
                std::lock_guard lock(m_mutex);
                m_pendingFrames -= chunk.frames;
            }
            if (!syncedNs)
                syncedNs = chunk.arrivalNs;
            if (chunk.arrivalNs - *syncedNs >= syncIntervalNs) {
                syncFiles();
                syncedNs = chunk.arrivalNs;
            }
        }
        batch.clear();
        if (stopNs) {
            // Pushes ended before the stop was requested, so the queue is now empty for good.
            m_system.finish(*stopNs);
            m_microphone.finish(*stopNs);
            CaptureReport report{m_system.report(), m_microphone.report(), {}};
            report.liveMix = finishLiveMix(report);
            m_finished.addResult(report);
            m_finished.finish();
            return;
        }
    }
}

LiveMixReport CaptureEncoder::finishLiveMix(const CaptureReport &tracks) {
    LiveMixReport report;
    if (!m_liveMix)
        return report;
    // A track without a file (no microphone) makes the recording that one part, which the stop
    // copies as it is; a track that lost audio makes the stop mix the parts and report it.
    if (!whole(tracks.system) || !whole(tracks.microphone)) {
        m_liveMix->abandon();
        return report;
    }
    if (const std::optional<std::int64_t> frames =
            m_liveMix->finish(tracks.system.framesWritten, tracks.microphone.framesWritten)) {
        report.complete = true;
        report.framesWritten = *frames;
    }
    return report;
}
