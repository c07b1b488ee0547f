#pragma once
// What the recording flow needs of a recorder; the real one is AudioRecorder::shared(), tests
// of the flow put their own behind it.

#include <QCoroTask>
#include <QString>

#include <optional>

class Recorder {
public:
    virtual ~Recorder() = default;

    // Returns once capture is running. Throws AudioRecorderError, or AudioFileError when a
    // part file cannot be created; both carry the text the user is shown.
    virtual QCoro::Task<> startRecording() = 0;
    // Never fails. The recording's file, owned by the caller from now on, or nothing when
    // nothing was recording.
    virtual QCoro::Task<std::optional<QString>> stopRecording() = 0;
    [[nodiscard]] virtual bool isRecording() const = 0;
};
