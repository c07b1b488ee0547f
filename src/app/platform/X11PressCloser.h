#pragma once
// On X11 (and where the toolkit talks to no X server): the popover takes the focus itself, and
// a press anywhere outside it, on a panel too, closes it.

#include "PopoverCloser.h"
#include "X11PressWatcher.h"

class X11PressCloser : public PopoverCloser {
    Q_OBJECT

public:
    explicit X11PressCloser(QQuickWindow &popover);

    // A tool window has no taskbar entry; without a frame and above other windows it behaves as
    // a popover. Qt::Popup would grab the pointer, and the tray click that should close it would
    // then reopen it.
    [[nodiscard]] Qt::WindowFlags popoverFlags() const override {
        return Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
    }
    void watch(const QRect &area) override;
    void stop() override;

private:
    QQuickWindow &m_popover;
    X11PressWatcher m_presses;
};
