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

// Where a tray most likely is when neither the host nor the pointer can say (a menu item
// clicked in a panel that XWayland does not see, or in a panel's menu): the right end of the
// panel's side of the screen, which `screen` minus `available` shows; the top when no panel
// takes room.
[[nodiscard]] QPoint trayCorner(const QRect &screen, const QRect &available);

} // namespace PopoverPlacement
