#include "PopoverPlacement.h"

#include <algorithm>

namespace PopoverPlacement {

namespace {

// Keeps [start, start + length) inside [low, high); the low edge wins when it cannot fit.
int clampSpan(int start, int length, int low, int high) {
    return std::max(low, std::min(start, high - length));
}

} // namespace

QPoint topLeft(const QRect &iconGeometry, QPoint cursor, const QRect &available, QSize popover) {
    // A StatusNotifier host does not say where the icon is; the click was at the pointer.
    const QRect anchor = iconGeometry.isEmpty() ? QRect(cursor, QSize(1, 1)) : iconGeometry;

    const int x = anchor.left() + (anchor.width() - popover.width()) / 2;
    const int below = anchor.top() + anchor.height() + gap;
    const int above = anchor.top() - gap - popover.height();
    const int availableBottom = available.top() + available.height();
    const bool fitsBelow = below + popover.height() <= availableBottom;
    const int y = (fitsBelow || above < available.top()) ? below : above;

    return {clampSpan(x, popover.width(), available.left(), available.left() + available.width()),
            clampSpan(y, popover.height(), available.top(), availableBottom)};
}

QPoint trayCorner(const QRect &screen, const QRect &available) {
    const bool panelBelow = available.bottom() < screen.bottom() && available.top() == screen.top();
    return {available.right(), panelBelow ? available.bottom() + 1 : available.top() - 1};
}

} // namespace PopoverPlacement
