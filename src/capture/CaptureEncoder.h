#pragma once
// Encodes both sources of a recording on its own thread ("tolvex.encode"), so neither the
// sound server's thread nor a busy GUI ever waits for the AAC encoder.

#include "CaptureChunk.h"
#include "CaptureReport.h"
#include "LiveMix.h"
#include "TrackEncoder.h"

#include <QCoroFuture>
#include <QFuture>
#include <QPromise>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

class CaptureEncoder {
public:
    // Raw audio waiting for a slow disk: 30 s of each track, about 21 MB.
    static constexpr std::int64_t defaultQueueLimitFrames = 2 * 30 * M4aWriter::sampleRate;
    // How often the files are put on the disk, on the recording's clock (when the audio was
    // read): a power cut costs at most this, one batch and what waits in the queue.
    static constexpr std::int64_t syncIntervalNs = 4'000'000'000;

    // `queueLimitFrames` counts the frames of both tracks that wait to be encoded. With a
    // `liveMix`, both tracks are also mixed into it as they are encoded; it is finished only
    // when both tracks end whole, and abandoned (its file removed) as soon as one loses audio
    // or waits for room on the disk.
    CaptureEncoder(TrackEncoder system, TrackEncoder microphone, std::unique_ptr<LiveMix> liveMix,
                   std::int64_t queueLimitFrames = defaultQueueLimitFrames);
    // Finishes the files if finish() was not called, and joins the thread.
    ~CaptureEncoder();
    CaptureEncoder(const CaptureEncoder &) = delete;
    CaptureEncoder &operator=(const CaptureEncoder &) = delete;

    // Any thread. Only queues the chunk; audio beyond the queue's limit is dropped, and its
    // track gets silence of the same length and reports it.
    void push(CaptureChunk chunk);
    // Encodes what is queued, pads both tracks to `stopNs` and finishes both files. Call after
    // the last push(); the future completes when the files are closed, with what each track lost.
    QFuture<CaptureReport> finish(std::int64_t stopNs);

    // Audio frames pushed and not yet encoded: a producer faster than real time waits on it.
    [[nodiscard]] std::int64_t pendingFrames();

private:
    void run();
    void markDropped(CaptureTrack track, std::int64_t frames);
    void syncFiles();
    [[nodiscard]] LiveMixReport finishLiveMix(const CaptureReport &tracks);

    TrackEncoder m_system;
    TrackEncoder m_microphone;
    std::unique_ptr<LiveMix> m_liveMix;
    const std::int64_t m_queueLimitFrames;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<CaptureChunk> m_queue;
    // Audio frames pushed and not yet encoded, those the encoder is working on included.
    std::int64_t m_pendingFrames = 0;
    std::optional<std::int64_t> m_stopNs;
    QPromise<CaptureReport> m_finished;
    std::thread m_thread;
};
