#pragma once
// What `tolvex --list-unsent` prints: every recording the folder holds that has not reached a
// service, with its date, length and the service it is meant for, so that one kept for another
// address or account can be found. Changes nothing in the folder.

#include <QString>

[[nodiscard]] QString unsentRecordingList(const QString &folder);
