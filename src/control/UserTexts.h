#pragma once
// The sentences the sign-in and recording flows show the user.

#include "RecordedAudio.h"

#include <QString>

// The held recording's file is gone, or there is no meeting to send it to.
[[nodiscard]] QString recordingNotFoundText();
// A recovered recording has a part that cannot be read now.
[[nodiscard]] QString unreadablePartText();
// What a recording lost, and what the user can do about it.
[[nodiscard]] QString lossText(const RecordedAudio &audio);
// The service refused the token while a recording was on its way.
[[nodiscard]] QString signInExpiredText();
// A failure nobody expected: the recording stays and can be retried.
[[nodiscard]] QString unexpectedErrorText();
