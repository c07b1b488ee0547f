#pragma once
// How a program loads the popover's QML module, which is linked in statically.

#include <QUrl>

namespace TolvexUi {

// Makes the module and the C++ types its screens use (AppViewModel, MicLevelMonitor) known to
// QML. Call once before the first engine loads popoverViewUrl(); further calls do nothing.
void registerTypes();

// The root item: give it `vm` (an AppViewModel) as an initial property. Width 300, height its
// implicitHeight.
[[nodiscard]] QUrl popoverViewUrl();

} // namespace TolvexUi
