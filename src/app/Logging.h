#pragma once
// The program's diagnostics, by part; QT_LOGGING_RULES="tolvex.*.debug=true" shows them all.
// What the command line answers a user goes to the terminal directly, not through these.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcTray)
Q_DECLARE_LOGGING_CATEGORY(lcPopover)
