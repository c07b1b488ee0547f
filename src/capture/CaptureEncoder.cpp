#include "CaptureEncoder.h"

#include <pthread.h>

CaptureEncoder::CaptureEncoder(TrackEncoder system, TrackEncoder microphone)
    : m_system(std::move(system))
    , m_microphone(std::move(microphone)) {
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
        m_queue.push_back(std::move(chunk));
    }
    m_wake.notify_one();
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
            batch.swap(m_queue);
            stopNs = m_stopNs;
        }
        for (const CaptureChunk &chunk : batch)
            (chunk.track == CaptureTrack::system ? m_system : m_microphone).take(chunk);
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
