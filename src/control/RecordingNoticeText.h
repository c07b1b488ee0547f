#pragma once
// What the recording screen tells the user about each track that cannot be heard.

#include "RecordingNotice.h"

#include <QList>
#include <QStringList>

namespace RecordingNoticeText {

// One line per notice, in the order given.
[[nodiscard]] QStringList lines(const QList<RecordingNotice> &notices);

} // namespace RecordingNoticeText
