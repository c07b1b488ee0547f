#pragma once
// Encodes both sources of a recording on its own thread ("tolvex.encode"), so neither the
// sound server's thread nor a busy GUI ever waits for the AAC encoder.

#include "CaptureChunk.h"
#include "CaptureReport.h"
#include "TrackEncoder.h"

#include <QCoroFuture>
#include <QFuture>
#include <QPromise>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class CaptureEncoder {
public:
    CaptureEncoder(TrackEncoder system, TrackEncoder microphone);
    // Finishes the files if finish() was not called, and joins the thread.
    ~CaptureEncoder();
    CaptureEncoder(const CaptureEncoder &) = delete;
    CaptureEncoder &operator=(const CaptureEncoder &) = delete;

    // Any thread. Only queues the chunk.
    void push(CaptureChunk chunk);
    // Encodes what is queued, pads both tracks to `stopNs` and finishes both files. Call after
    // the last push(); the future completes when the files are closed, with what each track lost.
    QFuture<CaptureReport> finish(std::int64_t stopNs);

private:
    void run();

    TrackEncoder m_system;
    TrackEncoder m_microphone;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<CaptureChunk> m_queue;
    std::optional<std::int64_t> m_stopNs;
    QPromise<CaptureReport> m_finished;
    std::thread m_thread;
};
