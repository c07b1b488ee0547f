#pragma once
// Records one meeting at a time: the monitor of the default output and the microphone, each
// into its own part file, mixed into one file at the stop.

#include "Recorder.h"

#include <QObject>
#include <QString>

#include <memory>

class CaptureEncoder;
class PulseCapture;

class AudioRecorder : public QObject, public Recorder {
    Q_OBJECT
    Q_PROPERTY(bool isRecording READ isRecording NOTIFY isRecordingChanged)

public:
    // The one recorder of the process, created on first use on the GUI thread.
    static AudioRecorder &shared();

    explicit AudioRecorder(QObject *parent = nullptr);
    ~AudioRecorder() override;

    QCoro::Task<> startRecording() override;
    QCoro::Task<std::optional<QString>> stopRecording() override;

    [[nodiscard]] bool isRecording() const override { return m_isRecording; }
    // The part files of the current or last recording; empty before the first start.
    [[nodiscard]] QString sysPath() const { return m_sysPath; }
    [[nodiscard]] QString micPath() const { return m_micPath; }

signals:
    void isRecordingChanged(bool isRecording);

private:
    void setIsRecording(bool value);

    bool m_isRecording = false;
    QString m_sysPath;
    QString m_micPath;
    // The capture is declared last so it is destroyed first: it feeds the encoder.
    std::unique_ptr<CaptureEncoder> m_encoder;
    std::unique_ptr<PulseCapture> m_capture;
};
