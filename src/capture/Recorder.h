#pragma once
// What the recording flow needs of a recorder; the real one is AudioRecorder::shared(), tests
// of the flow put their own behind it.

#include "RecordedAudio.h"
#include "RecordingFiles.h"
#include "RecordingNotice.h"

#include <QCoroTask>
#include <QStringList>

#include <functional>
#include <optional>

class Recorder {
public:
    virtual ~Recorder() = default;

    // Returns once capture is running, writing the part files of `files`, whose folder exists
    // and is private. Throws AudioRecorderError, or AudioFileError when a part file cannot be
    // created; both carry the text the user is shown.
    virtual QCoro::Task<> startRecording(RecordingFiles files) = 0;
    // Never fails. What was recorded, owned by the caller from now on, or nothing when nothing
    // was recording.
    virtual QCoro::Task<std::optional<RecordedAudio>> stopRecording() = 0;
    // Never fails. Mixes the part files a mixFailed stop handed over once more; each part is
    // removed only when the returned file holds its audio. One call at a time per set of parts.
    // Parts it did not record itself are taken as whole: what their capture lost is the
    // caller's to add.
    virtual QCoro::Task<RecordedAudio> mixParts(QStringList partFiles) = 0;
    // For a quick exit: ends the capture so the part files are complete, without mixing them,
    // and hands them over as a mixFailed stop would, with what the capture lost (no parts when
    // nothing was recording). The next launch mixes.
    virtual QCoro::Task<RecordedAudio> stopKeepingParts() = 0;
    [[nodiscard]] virtual bool isRecording() const = 0;
    // While recording: what keeps each track that cannot be heard from being heard; empty
    // otherwise.
    [[nodiscard]] virtual QList<RecordingNotice> notices() const { return {}; }
    // While recording: both tracks have heard nothing for the silence window and still do.
    [[nodiscard]] virtual bool tracksSilent() const { return false; }
    // `listener` is called on the GUI thread whenever notices() or tracksSilent() changes; one
    // listener at a time.
    virtual void setNoticesListener(std::function<void()> listener) { (void)listener; }
};
