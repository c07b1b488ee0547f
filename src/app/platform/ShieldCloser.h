#pragma once
// Under XWayland: the popover is a window the compositor does not manage, and a click outside
// it lands on the program's ClickShield.

#include "ClickShield.h"
#include "PopoverCloser.h"

class ShieldCloser : public PopoverCloser {
    Q_OBJECT

public:
    ShieldCloser();

    // The compositor places the windows it manages where it likes (sway centres them); one it
    // does not manage stays where the program puts it. Such a window has no taskbar entry
    // anyway, and must not be a tool window: wlroots gives no keyboard to an unmanaged tool
    // window, so Escape would not reach it.
    [[nodiscard]] Qt::WindowFlags popoverFlags() const override {
        return Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
               Qt::X11BypassWindowManagerHint;
    }
    [[nodiscard]] bool knowsPointerOverPanels() const override { return false; }
    void watch(const QRect &area) override;
    void stop() override;

private:
    ClickShield m_shield;
};
