#pragma once
// Records one meeting at a time: the monitor of the default output and the microphone, each
// into its own part file, and both mixed as they are recorded into a third one, which the stop
// turns into the recording (or, when that mix failed, the stop mixes the parts).

#include "AudioFiles.h"
#include "HearingReport.h"
#include "Recorder.h"
#include "TrackMixdown.h"

#include <QFuture>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class CaptureEncoder;
class PulseCapture;

class AudioRecorder : public QObject, public Recorder {
    Q_OBJECT
    Q_PROPERTY(bool isRecording READ isRecording NOTIFY isRecordingChanged)

public:
    // Where the recorder is; only setState() changes it. What each call does in each state:
    //   idle       start: starts a recording.        stop: returns nothing at once.
    //   starting   start: waits for that start; returns when it succeeded, starts anew when it
    //              failed.                           stop: waits for the start, then stops
    //                                                what it started (nothing if it failed).
    //   recording  start: returns at once.           stop: stops, mixes, hands the file over.
    //   stopping   start: waits for the stop to end, then starts a new recording.
    //                                                stop: returns nothing at once and touches
    //                                                no file.
    // A recorder destroyed while starting or stopping: a start ends without a recording and
    // removes its part files; a stop finishes without it and still hands its result over.
    enum class State { idle, starting, recording, stopping };

    // The one recorder of the process, created on first use on the GUI thread with that use's
    // `silenceWindow`.
    static AudioRecorder &shared(std::chrono::milliseconds silenceWindow = defaultSilenceWindow);

    // How long a track must hear nothing before the user is told.
    static constexpr std::chrono::milliseconds defaultSilenceWindow{30'000};

    // What the recorder asks of the disk.
    struct DiskRoom {
        // Free bytes in the recordings folder's file system below which a start fails: a few
        // hours of parts and their mix, rather than a recording that stalls at once.
        std::int64_t toStart = 200'000'000;
        // Audio each track keeps in memory while the disk is full
        // (TrackEncoder::defaultRoomWaitFrames).
        std::int64_t waitFrames = 60 * 44100;
        // The room left on the file system of a folder; nothing when it cannot be told.
        std::function<std::optional<std::int64_t>(const QString &folder)> freeBytes =
            &AudioFiles::freeBytes;
    };

    explicit AudioRecorder(QObject *parent = nullptr,
                           std::chrono::milliseconds silenceWindow = defaultSilenceWindow);
    AudioRecorder(QObject *parent, std::chrono::milliseconds silenceWindow, DiskRoom diskRoom);
    ~AudioRecorder() override;

    QCoro::Task<> startRecording(RecordingFiles files) override;
    QCoro::Task<std::optional<RecordedAudio>> stopRecording() override;
    QCoro::Task<RecordedAudio> mixParts(QStringList partFiles) override;
    // Like stopRecording(), in the same states, but leaves the parts unmixed.
    QCoro::Task<RecordedAudio> stopKeepingParts() override;

    [[nodiscard]] State state() const noexcept { return m_state; }
    // True while recording and while stopping.
    [[nodiscard]] bool isRecording() const override {
        return m_state == State::recording || m_state == State::stopping;
    }
    // The part files of the current or last recording; empty before the first start.
    [[nodiscard]] QString sysPath() const { return m_sysPath; }
    [[nodiscard]] QString micPath() const { return m_micPath; }
    [[nodiscard]] QList<RecordingNotice> notices() const override;
    [[nodiscard]] bool tracksSilent() const override;
    void setNoticesListener(std::function<void()> listener) override;

signals:
    void isRecordingChanged(bool isRecording);
    void noticesChanged();

private:
    void setState(State state);
    // The capture's findings reach the GUI thread through here; those of a capture that has
    // ended are dropped.
    void hear(std::uint64_t capture, const std::function<void(HearingReport &)> &change);
    void announceNotices();
    QCoro::Task<> start(RecordingFiles files);
    // The capture ended and both part files finished; the state is stopping throughout.
    struct FinishedParts {
        std::vector<PartTrack> parts;
        std::optional<CaptureTrack> lostWithoutFile; // a track whose file could not be made
        std::optional<LiveMixFile> liveMix;          // when complete; otherwise it is gone
        std::int64_t systemFramesLost = 0;           // to a full disk
        std::int64_t microphoneFramesLost = 0;
    };
    QCoro::Task<FinishedParts> finishCapture();
    QCoro::Task<RecordedAudio> stop();

    State m_state = State::idle;
    const std::chrono::milliseconds m_silenceWindow;
    const DiskRoom m_diskRoom;
    // Counts the captures started, so that a late finding is told from a current one.
    std::uint64_t m_captureNumber = 0;
    HearingReport m_hearing;
    std::function<void()> m_noticesListener;
    // Finishes when the start or stop under way has ended, however it ended.
    QFuture<void> m_settled;
    QString m_sysPath;
    QString m_micPath;
    QString m_livePath;
    // Parts of stops whose mix failed, with what the encoder reported of them, for mixParts().
    std::vector<PartTrack> m_unmixed;
    // The capture is declared last so it is destroyed first: it feeds the encoder.
    std::unique_ptr<CaptureEncoder> m_encoder;
    std::unique_ptr<PulseCapture> m_capture;
};
