#include "AudioRecorder.h"

#include "AudioFileError.h"
#include "AudioFiles.h"
#include "AudioRecorderError.h"
#include "CaptureEncoder.h"
#include "LiveMix.h"
#include "M4aWriter.h"
#include "PulseCapture.h"
#include "PulseError.h"
#include "SilenceWatch.h"

#include <QCoreApplication>
#include <QCoroFuture>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QPromise>

#include <algorithm>

namespace {

bool lostAudio(const TrackReport &report) {
    return report.writerFailed || report.framesDropped > 0 || report.framesLostToFullDisk > 0;
}

std::chrono::milliseconds durationOf(std::int64_t frames) {
    return std::chrono::milliseconds(frames * 1000 / M4aWriter::sampleRate);
}

} // namespace

AudioRecorder &AudioRecorder::shared(std::chrono::milliseconds silenceWindow) {
    static AudioRecorder recorder(nullptr, silenceWindow);
    return recorder;
}

AudioRecorder::AudioRecorder(QObject *parent, std::chrono::milliseconds silenceWindow)
    : AudioRecorder(parent, silenceWindow, DiskRoom{}) {}

AudioRecorder::AudioRecorder(QObject *parent, std::chrono::milliseconds silenceWindow,
                             DiskRoom diskRoom)
    : QObject(parent)
    , m_silenceWindow(silenceWindow)
    , m_diskRoom(diskRoom) {}

AudioRecorder::~AudioRecorder() = default;

void AudioRecorder::setState(State state) {
    const bool wasRecording = isRecording();
    const bool hadNotices = !notices().isEmpty();
    m_state = state;
    if (isRecording() != wasRecording)
        emit isRecordingChanged(isRecording());
    if (hadNotices != !notices().isEmpty())
        announceNotices();
}

QList<RecordingNotice> AudioRecorder::notices() const {
    return m_state == State::recording ? m_hearing.notices() : QList<RecordingNotice>();
}

bool AudioRecorder::tracksSilent() const {
    return m_state == State::recording && m_hearing.systemSilent && m_hearing.microphoneSilent;
}

void AudioRecorder::setNoticesListener(std::function<void()> listener) {
    m_noticesListener = std::move(listener);
}

void AudioRecorder::announceNotices() {
    emit noticesChanged();
    if (m_noticesListener)
        m_noticesListener();
}

void AudioRecorder::hear(std::uint64_t capture,
                         const std::function<void(HearingReport &)> &change) {
    if (capture != m_captureNumber)
        return;
    const QList<RecordingNotice> before = notices();
    const bool wasSilent = tracksSilent();
    change(m_hearing);
    // A muted microphone's silence changes no notice, but still counts as silence.
    if (notices() != before || tracksSilent() != wasSilent)
        announceNotices();
}

QCoro::Task<> AudioRecorder::startRecording(RecordingFiles files) {
    QPointer<AudioRecorder> self(this);
    for (;;) {
        switch (m_state) {
        case State::idle:
            co_await start(files);
            co_return;
        case State::recording:
            co_return;
        case State::starting:
        case State::stopping: {
            // A copy: the member is replaced by the next start or stop.
            QFuture<void> settled = m_settled;
            co_await settled;
            if (!self)
                co_return;
            break;
        }
        }
    }
}

QCoro::Task<std::optional<RecordedAudio>> AudioRecorder::stopRecording() {
    QPointer<AudioRecorder> self(this);
    while (m_state == State::starting) {
        QFuture<void> settled = m_settled;
        co_await settled;
        if (!self)
            co_return std::nullopt;
    }
    // Idle has nothing to stop; a stop under way owns the parts and hands them over itself.
    if (m_state != State::recording)
        co_return std::nullopt;
    co_return co_await stop();
}

QCoro::Task<> AudioRecorder::start(RecordingFiles files) {
    // Waiters on this start resume once the frame is gone, whichever way it ends.
    QPromise<void> settled;
    settled.start();
    m_settled = settled.future();
    setState(State::starting);
    QPointer<AudioRecorder> self(this);
    // Back to idle on every way out but success, unless the recorder is gone.
    struct Guard {
        QPointer<AudioRecorder> recorder;
        bool succeeded = false;
        ~Guard() {
            if (recorder && !succeeded)
                recorder->setState(State::idle);
        }
    } guard{self};

    const QString &folder = files.folder();
    // Unknown room is no reason to refuse: the recording then waits out a full disk as ever.
    if (const std::optional<std::int64_t> room = m_diskRoom.freeBytes(folder);
        room && *room < m_diskRoom.toStart)
        throw AudioFileError::lowSpace(folder, *room, m_diskRoom.toStart);

    // Until the recording runs, everything lives in this frame, not in the recorder, so a
    // recorder destroyed meanwhile frees nothing that the frame still uses.
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

    const QString sysPath = files.systemPart();
    const QString micPath = files.microphonePart();
    const QString livePath = files.liveMix();
    m_sysPath = sysPath;
    m_micPath = micPath;
    m_livePath = livePath;
    const auto discard = [&] {
        capture.reset();
        encoder.reset();
        // Nothing was recorded; a start that does not succeed leaves no files behind.
        QFile::remove(sysPath);
        QFile::remove(micPath);
        QFile::remove(livePath);
    };
    auto sysWriter = std::make_unique<M4aWriter>(sysPath, M4aWriter::Layout::fragmented);
    std::unique_ptr<M4aWriter> micWriter;
    if (found.hasMicrophone) {
        try {
            micWriter = std::make_unique<M4aWriter>(micPath, M4aWriter::Layout::fragmented);
        } catch (const M4aWriter::Error &) {
            sysWriter.reset();
            discard();
            throw;
        }
    }
    std::unique_ptr<LiveMix> liveMix;
    try {
        liveMix = std::make_unique<LiveMix>(livePath);
    } catch (const M4aWriter::Error &) {
        // The live mix only saves time at the stop: without it the stop mixes the parts, as
        // it does whenever the live mix fails.
    }
    // Both tracks count from this instant, so they line up however late each source starts.
    const std::int64_t originNs = steadyNowNs();
    encoder = std::make_unique<CaptureEncoder>(
        TrackEncoder(sysPath, std::move(sysWriter), originNs, m_diskRoom.waitFrames),
        TrackEncoder(micPath, std::move(micWriter), originNs, m_diskRoom.waitFrames),
        std::move(liveMix));
    // The capture's thread judges silence from the chunks as they pass and posts only changes.
    // The recorder is reached through a pointer read on the GUI thread alone, so a recorder
    // destroyed meanwhile is simply not told.
    struct Relay {
        QPointer<AudioRecorder> recorder;
        std::uint64_t capture;
        SilenceWatch system;
        SilenceWatch microphone;
    };
    const auto windowNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(m_silenceWindow).count();
    m_hearing = HearingReport{found.devices, false, false};
    auto relay = std::make_shared<Relay>(
        Relay{self, ++m_captureNumber, SilenceWatch(windowNs), SilenceWatch(windowNs)});
    const auto post = [relay](std::function<void(HearingReport &)> change) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [relay, change = std::move(change)] {
                if (relay->recorder)
                    relay->recorder->hear(relay->capture, change);
            },
            Qt::QueuedConnection);
    };
    CaptureEncoder *sink = encoder.get();
    const auto takeChunk = [sink, relay, post](CaptureChunk &&chunk) {
        if (chunk.kind == CaptureChunk::Kind::audio) {
            const bool system = chunk.track == CaptureTrack::system;
            SilenceWatch &watch = system ? relay->system : relay->microphone;
            const std::int64_t durationNs = chunk.frames * 1'000'000'000 / RecordStream::sampleRate;
            if (const std::optional<bool> silent =
                    watch.take(chunk.samples, chunk.captureNs, durationNs)) {
                post([system, silent = *silent](HearingReport &report) {
                    (system ? report.systemSilent : report.microphoneSilent) = silent;
                });
            }
        }
        sink->push(std::move(chunk));
    };
    const auto takeDevices = [post](const DeviceReport &devices) {
        post([devices](HearingReport &report) { report.devices = devices; });
    };
    const bool started = co_await capture->open(takeChunk, takeDevices);
    if (!self || !started) {
        discard();
        if (!self)
            co_return;
        throw AudioRecorderError(AudioRecorderError::Code::noPermission);
    }
    m_encoder = std::move(encoder);
    m_capture = std::move(capture);
    guard.succeeded = true;
    setState(State::recording);
}

QCoro::Task<AudioRecorder::FinishedParts> AudioRecorder::finishCapture() {
    // From here the stop owns the recording: it finishes even when the recorder goes away.
    const std::int64_t stopNs = steadyNowNs();
    std::unique_ptr<PulseCapture> capture = std::move(m_capture);
    std::unique_ptr<CaptureEncoder> encoder = std::move(m_encoder);
    const QString sysPath = m_sysPath, micPath = m_micPath, livePath = m_livePath;
    // What was said just before the click is still on its way from the server.
    co_await capture->drain();
    capture.reset(); // no chunk reaches the encoder after this
    const CaptureReport report = co_await encoder->finish(stopNs);
    encoder.reset();

    FinishedParts finished;
    if (report.liveMix.complete)
        finished.liveMix = LiveMixFile{livePath, report.liveMix.framesWritten};
    const auto add = [&](const QString &path, CaptureTrack track, const TrackReport &trackReport) {
        if (trackReport.fileCreated)
            finished.parts.push_back(
                {path, track, trackReport.framesWritten, lostAudio(trackReport)});
        else if (lostAudio(trackReport))
            finished.lostWithoutFile = track; // its file could not even be created
    };
    add(sysPath, CaptureTrack::system, report.system);
    add(micPath, CaptureTrack::microphone, report.microphone);
    finished.systemFramesLost = report.system.framesLostToFullDisk;
    finished.microphoneFramesLost = report.microphone.framesLostToFullDisk;
    co_return finished;
}

QCoro::Task<RecordedAudio> AudioRecorder::stop() {
    QPromise<void> settled;
    settled.start();
    m_settled = settled.future();
    setState(State::stopping);
    QPointer<AudioRecorder> self(this);

    const FinishedParts finished = co_await finishCapture();
    const std::vector<PartTrack> &parts = finished.parts;
    const std::optional<CaptureTrack> lostWithoutFile = finished.lostWithoutFile;

    RecordedAudio result = co_await mergeTracks(parts, finished.liveMix);
    result.systemLostToFullDisk = durationOf(finished.systemFramesLost);
    result.microphoneLostToFullDisk = durationOf(finished.microphoneFramesLost);
    if (lostWithoutFile && result.loss != RecordedAudio::Loss::mixFailed) {
        const bool otherTrackToo =
            result.loss == RecordedAudio::Loss::trackCut && result.affectedTrack != lostWithoutFile;
        result.loss = RecordedAudio::Loss::trackCut;
        result.affectedTrack = otherTrackToo ? std::nullopt : lostWithoutFile;
    }
    if (self) {
        if (result.loss == RecordedAudio::Loss::mixFailed)
            m_unmixed.insert(m_unmixed.end(), parts.begin(), parts.end());
        setState(State::idle);
    }
    co_return result;
}

QCoro::Task<RecordedAudio> AudioRecorder::stopKeepingParts() {
    QPointer<AudioRecorder> self(this);
    RecordedAudio kept{{}, {}, RecordedAudio::Loss::mixFailed, std::nullopt};
    while (m_state == State::starting) {
        QFuture<void> settled = m_settled;
        co_await settled;
        if (!self)
            co_return kept;
    }
    if (m_state != State::recording)
        co_return kept;
    QPromise<void> settled;
    settled.start();
    m_settled = settled.future();
    setState(State::stopping);

    const FinishedParts finished = co_await finishCapture();
    // The next launch mixes the parts, as after a crash.
    if (finished.liveMix)
        QFile::remove(finished.liveMix->path);
    if (self)
        setState(State::idle);
    for (const PartTrack &part : finished.parts)
        kept.partFiles << part.path;
    kept.systemLostToFullDisk = durationOf(finished.systemFramesLost);
    kept.microphoneLostToFullDisk = durationOf(finished.microphoneFramesLost);
    co_return kept;
}

QCoro::Task<RecordedAudio> AudioRecorder::mixParts(QStringList partFiles) {
    QPointer<AudioRecorder> self(this);
    std::vector<PartTrack> parts;
    for (const QString &path : partFiles) {
        const auto known = std::find_if(m_unmixed.begin(), m_unmixed.end(),
                                        [&](const PartTrack &part) { return part.path == path; });
        if (known != m_unmixed.end()) {
            parts.push_back(*known);
        } else {
            // Not from this recorder's stops: the name still tells the track.
            const bool mic = QFileInfo(path).fileName().startsWith(QStringLiteral("mic_"));
            parts.push_back(
                {path, mic ? CaptureTrack::microphone : CaptureTrack::system, std::nullopt, false});
        }
    }
    RecordedAudio result = co_await mergeTracks(parts);
    if (self && result.loss != RecordedAudio::Loss::mixFailed) {
        std::erase_if(m_unmixed,
                      [&](const PartTrack &part) { return partFiles.contains(part.path); });
    }
    co_return result;
}
