#include "RecordingDelivery.h"

#include "UserTexts.h"

#include <utility>

QCoro::Task<std::optional<StepFailure>>
RecordingDelivery::deliver(RecordingOnDisk &recording, QString baseUrl, QString token,
                           AuthBridge::UploadProgress onProgress, QPointer<QObject> guard) {
    if (recording.heldFile().isEmpty())
        co_return StepFailure{recordingNotFoundText()};
    if (!recording.manifest().meetingId) {
        // A recording found after a crash without its manifest: a meeting is made for it now.
        QCoro::Task<MeetingCreateResult> creating = AuthBridge::createMeeting(baseUrl, token);
        auto meeting = co_await attemptStep(std::move(creating));
        if (!guard)
            co_return std::nullopt;
        if (const StepFailure *failure = failureOf<MeetingCreateResult>(meeting))
            co_return *failure;
        recording.setMeeting(std::get<MeetingCreateResult>(meeting).id);
    }
    // Made outside the co_await: GCC 12 destroys the temporaries of a co_await expression
    // twice.
    QCoro::Task<> upload = AuthBridge::uploadAudio(std::move(baseUrl), std::move(token),
                                                   *recording.manifest().meetingId,
                                                   recording.heldFile(), std::move(onProgress));
    auto uploaded = co_await attemptStep(std::move(upload));
    if (!guard)
        co_return std::nullopt;
    if (const StepFailure *failure = failureOf<void>(uploaded))
        co_return *failure; // the file and the meeting stay for another try
    // Written down before anything goes, so that a crash now cannot send it twice; then the
    // uploaded file, and parts whose loss the user accepted by sending it anyway.
    recording.delivered();
    recording.removeHeldFiles();
    co_return std::nullopt;
}
