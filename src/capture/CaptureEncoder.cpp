#include "CaptureEncoder.h"

#include <pthread.h>

#include <vector>

CaptureEncoder::CaptureEncoder(TrackEncoder system, TrackEncoder microphone,
                               std::int64_t queueLimitFrames)
    : m_system(std::move(system))
    , m_microphone(std::move(microphone))
    , m_queueLimitFrames(queueLimitFrames) {
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

QFuture<CaptureReport> CaptureEncoder::finish(std::int64_t stopNs) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_stopNs)
            m_stopNs = stopNs;
    }
    m_wake.notify_one();
    return m_finished.future();
}

void CaptureEncoder::run() {
    std::vector<CaptureChunk> batch;
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
            (chunk.track == CaptureTrack::system ? m_system : m_microphone).take(chunk);
            if (chunk.kind == CaptureChunk::Kind::audio) {
                std::lock_guard lock(m_mutex);
                m_pendingFrames -= chunk.frames;
            }
        }
        batch.clear();
        if (stopNs) {
            // Pushes ended before the stop was requested, so the queue is now empty for good.
            m_system.finish(*stopNs);
            m_microphone.finish(*stopNs);
            m_finished.addResult(CaptureReport{m_system.report(), m_microphone.report()});
            m_finished.finish();
            return;
        }
    }
}
