#pragma once
// A recorder whose start and stop do what the test says: fail, take their time, hand back a
// given file or none. It counts its calls so a test can see a second start that should not be.

#include "AudioRecorderError.h"
#include "Recorder.h"

#include <QCoroTimer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <optional>

class ScriptedRecorder final : public Recorder {
public:
    // Thrown by startRecording() when set.
    std::optional<AudioRecorderError::Code> startFailure;
    std::chrono::milliseconds startDelay{0};
    std::chrono::milliseconds stopDelay{0};
    // What stopRecording() hands back.
    std::optional<QString> file;

    int starts = 0;
    int stops = 0;

    QCoro::Task<> startRecording() override {
        ++starts;
        co_await wait(startDelay);
        if (startFailure)
            throw AudioRecorderError(*startFailure);
        m_recording = true;
    }

    QCoro::Task<std::optional<QString>> stopRecording() override {
        ++stops;
        if (!m_recording)
            co_return std::nullopt;
        co_await wait(stopDelay);
        m_recording = false;
        co_return file;
    }

    [[nodiscard]] bool isRecording() const override { return m_recording; }

private:
    static QCoro::Task<> wait(std::chrono::milliseconds delay) {
        if (delay.count() <= 0)
            co_return;
        QTimer timer;
        timer.setSingleShot(true);
        timer.start(delay);
        co_await timer;
    }

    bool m_recording = false;
};
