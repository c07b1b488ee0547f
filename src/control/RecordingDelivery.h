#pragma once
// Sends one recording held on disk to its meeting, making the meeting first when a crash lost
// the one it had; once the service has the audio, the recording's files go.

#include "AuthBridge.h"
#include "RecordingOnDisk.h"
#include "StepOutcome.h"

#include <QCoroTask>
#include <QPointer>
#include <QString>

#include <optional>

class RecordingDelivery {
public:
    // Nothing when the recording was delivered. `recording` must outlive the task while
    // `guard` lives; when `guard` goes meanwhile, the task ends without touching it.
    [[nodiscard]] static QCoro::Task<std::optional<StepFailure>>
    deliver(RecordingOnDisk &recording, QString baseUrl, QString token,
            AuthBridge::UploadProgress onProgress, QPointer<QObject> guard);
};
