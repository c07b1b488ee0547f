#include "AudioRecorder.h"

#include "AudioFiles.h"
#include "AudioRecorderError.h"
#include "CaptureEncoder.h"
#include "M4aWriter.h"
#include "PulseCapture.h"
#include "PulseError.h"
#include "TrackMixdown.h"

#include <QFile>
#include <QPointer>

AudioRecorder &AudioRecorder::shared() {
    static AudioRecorder recorder;
    return recorder;
}

AudioRecorder::AudioRecorder(QObject *parent)
    : QObject(parent) {}

AudioRecorder::~AudioRecorder() = default;

void AudioRecorder::setIsRecording(bool value) {
    m_isRecording = value;
    emit isRecordingChanged(value);
}

QCoro::Task<> AudioRecorder::startRecording() {
    if (m_isRecording)
        co_return;
    QPointer<AudioRecorder> self(this);

    // Declared first so that it is destroyed last: the capture feeds it until it is gone.
    std::unique_ptr<CaptureEncoder> encoder;
    std::unique_ptr<PulseCapture> capture;
    PulseCapture::Discovery found;
    try {
        capture = std::make_unique<PulseCapture>();
        found = co_await capture->connect();
    } catch (const PulseError &) {
        throw AudioRecorderError(AudioRecorderError::Code::noPermission);
    }
    if (!self)
        co_return;
    switch (found.outcome) {
    case PulseCapture::Outcome::noServer:
        throw AudioRecorderError(AudioRecorderError::Code::noPermission);
    case PulseCapture::Outcome::noOutput:
        throw AudioRecorderError(AudioRecorderError::Code::noDisplay);
    case PulseCapture::Outcome::ready:
        break;
    }

    m_sysPath = AudioFiles::newFilePath(QStringLiteral("sys_"));
    m_micPath = AudioFiles::newFilePath(QStringLiteral("mic_"));
    auto sysWriter = std::make_unique<M4aWriter>(m_sysPath, M4aWriter::Layout::fragmented);
    std::unique_ptr<M4aWriter> micWriter;
    if (found.hasMicrophone) {
        try {
            micWriter = std::make_unique<M4aWriter>(m_micPath, M4aWriter::Layout::fragmented);
        } catch (const M4aWriter::Error &) {
            sysWriter.reset();
            QFile::remove(m_sysPath);
            throw;
        }
    }
    // Both tracks count from this instant, so they line up however late each source starts.
    const std::int64_t originNs = steadyNowNs();
    encoder =
        std::make_unique<CaptureEncoder>(TrackEncoder(m_sysPath, std::move(sysWriter), originNs),
                                         TrackEncoder(m_micPath, std::move(micWriter), originNs));
    CaptureEncoder *sink = encoder.get();
    const bool started =
        co_await capture->open([sink](CaptureChunk &&chunk) { sink->push(std::move(chunk)); });
    if (!started) {
        const QString sysPath = m_sysPath, micPath = m_micPath;
        capture.reset();
        encoder.reset();
        // Nothing was recorded; the failed start leaves no files behind.
        QFile::remove(sysPath);
        QFile::remove(micPath);
        throw AudioRecorderError(AudioRecorderError::Code::noPermission);
    }
    if (!self)
        co_return;
    m_encoder = std::move(encoder);
    m_capture = std::move(capture);
    setIsRecording(true);
}

QCoro::Task<std::optional<QString>> AudioRecorder::stopRecording() {
    if (!m_isRecording)
        co_return std::nullopt;
    QPointer<AudioRecorder> self(this);

    const std::int64_t stopNs = steadyNowNs();
    m_capture.reset();
    if (m_encoder) {
        co_await m_encoder->finish(stopNs);
        if (!self)
            co_return std::nullopt;
        m_encoder.reset();
    }

    const QString sysPath = m_sysPath;
    const QString micPath = m_micPath;
    const QString result = co_await mergeTracks(sysPath, micPath);
    if (!self)
        co_return result;
    for (const QString &part : {sysPath, micPath}) {
        if (part != result)
            QFile::remove(part);
    }
    setIsRecording(false);
    co_return result;
}
