#pragma once
// The program's name as every window, menu, tooltip and message spells it.

#include <QString>

namespace ProductName {

// As the user reads it.
inline const QString display = QStringLiteral("Толвекс");
// After "из" in the tray menu's "quit" item.
inline const QString genitive = QStringLiteral("Толвекса");
// The command, the desktop file and the tray item's id.
inline const QString command = QStringLiteral("tolvex");

} // namespace ProductName
