#pragma once
// How the error screen names a recording that a quit or a crash left unsent.

#include <QDateTime>
#include <QString>

#include <chrono>
#include <optional>

// "Запись от 6 декабря, 14:05 (42 мин) не отправлена", in the local time zone; the length is
// left out when it is not known.
[[nodiscard]] QString unsentRecordingText(const QDateTime &start,
                                          std::optional<std::chrono::seconds> length);
