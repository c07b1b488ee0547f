#pragma once
// A recorder whose start, stop and mix do what the test says: fail, take their time, hand back
// a given recording or none. It counts its calls so a test can see a second start that should
// not be.

#include "AudioRecorderError.h"
#include "Recorder.h"

#include <QCoroTimer>
#include <QString>

#include <chrono>
#include <deque>
#include <optional>

class ScriptedRecorder final : public Recorder {
public:
    // Thrown by startRecording() when set.
    std::optional<AudioRecorderError::Code> startFailure;
    std::chrono::milliseconds startDelay{0};
    std::chrono::milliseconds stopDelay{0};
    // What stopRecording() hands back.
    std::optional<RecordedAudio> recorded;
    // What each mixParts() call hands back, in turn; once they run out, the parts stay unmixed.
    std::deque<RecordedAudio> mixes;

    int starts = 0;
    QString lastRecordingId;
    int stops = 0;
    QList<QStringList> mixedParts; // the argument of each mixParts() call

    // A recording that lost nothing, in one file.
    void handBack(const QString &file) { recorded = RecordedAudio{file, {}, {}, {}}; }

    QCoro::Task<> startRecording(RecordingFiles files) override {
        ++starts;
        lastRecordingId = files.id();
        co_await wait(startDelay);
        if (startFailure)
            throw AudioRecorderError(*startFailure);
        m_recording = true;
    }

    QCoro::Task<std::optional<RecordedAudio>> stopRecording() override {
        ++stops;
        if (!m_recording)
            co_return std::nullopt;
        co_await wait(stopDelay);
        m_recording = false;
        // A copy: QCoro 0.8 moves from whatever co_return names, a member included.
        std::optional<RecordedAudio> handedBack = recorded;
        co_return handedBack;
    }

    QCoro::Task<RecordedAudio> mixParts(QStringList partFiles) override {
        mixedParts.append(partFiles);
        co_await wait(stopDelay);
        if (mixes.empty())
            co_return RecordedAudio{{}, partFiles, RecordedAudio::Loss::mixFailed, {}};
        RecordedAudio result = std::move(mixes.front());
        mixes.pop_front();
        co_return result;
    }

    // The parts and the loss of `recorded`, unmixed.
    QCoro::Task<RecordedAudio> stopKeepingParts() override {
        m_recording = false;
        RecordedAudio kept = recorded.value_or(RecordedAudio{});
        kept.filePath.clear();
        kept.loss = RecordedAudio::Loss::mixFailed;
        co_return kept;
    }

    [[nodiscard]] bool isRecording() const override { return m_recording; }

    // What the recorder says cannot be heard while it records.
    QList<RecordingNotice> scriptedNotices;
    [[nodiscard]] QList<RecordingNotice> notices() const override {
        return m_recording ? scriptedNotices : QList<RecordingNotice>();
    }

private:
    static QCoro::Task<> wait(std::chrono::milliseconds delay) {
        if (delay.count() > 0)
            co_await QCoro::sleepFor(delay);
    }

    bool m_recording = false;
};
