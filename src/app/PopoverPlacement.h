#pragma once
// Where the popover goes on the screen, worked out from the tray icon or the pointer.

#include <QPoint>
#include <QRect>
#include <QSize>

namespace PopoverPlacement {

// Space between the icon (or the pointer) and the popover's edge.
inline constexpr int gap = 4;

// The popover's top-left corner: centred under the icon when the tray reports its geometry,
// otherwise under the pointer; above it instead when there is no room below (a panel at the
// bottom of the screen); always kept inside `available`, the screen's free area.
[[nodiscard]] QPoint topLeft(const QRect &iconGeometry, QPoint cursor, const QRect &available,
                             QSize popover);

} // namespace PopoverPlacement
