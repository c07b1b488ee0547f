#pragma once
// Every sentence the flows show the user: capture and the service report codes and values,
// and the words are made here.

#include "RecordedAudio.h"
#include "RecordingNotice.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

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
// While recording: one line per track that cannot be heard, in the order given.
[[nodiscard]] QStringList recordingNoticeLines(const QList<RecordingNotice> &notices);
// A recording goes on after its call ended, or in silence: asks whether to stop it.
[[nodiscard]] QString stopQuestionText();
// The question's answers.
[[nodiscard]] QString stopAnswerText();
[[nodiscard]] QString keepRecordingAnswerText();
// The recording was stopped after the released pace's silence on both tracks, and is sent.
[[nodiscard]] QString stoppedInSilenceText();
// "Не отправлено: 2"; empty for none.
[[nodiscard]] QString unsentCountText(int count);
// "Запись от 6 декабря, 14:05 (42 мин) не отправлена", in the local time zone; the length is
// left out when it is not known.
[[nodiscard]] QString unsentRecordingText(const QDateTime &start,
                                          std::optional<std::chrono::seconds> length);
