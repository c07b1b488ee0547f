#pragma once
// How the popover learns that the user went elsewhere, which differs from desktop to desktop,
// and the kind of window that way needs. One is chosen for the session and lives as long as
// the popover.

#include <QObject>
#include <QRect>

#include <memory>

class DesktopSession;
class QQuickWindow;

class PopoverCloser : public QObject {
    Q_OBJECT

public:
    // The way that works in `session`, for `popover`.
    [[nodiscard]] static std::unique_ptr<PopoverCloser> forSession(const DesktopSession &session,
                                                                   QQuickWindow &popover);
    ~PopoverCloser() override = default;

    [[nodiscard]] virtual Qt::WindowFlags popoverFlags() const = 0;
    // False where the pointer is only known over the program's own windows, never over a panel.
    [[nodiscard]] virtual bool knowsPointerOverPanels() const { return true; }
    // True where the closer holds the keyboard for the popover, which must then not ask for it.
    [[nodiscard]] virtual bool holdsFocus() const { return false; }

    // Before the popover at `area` is shown, so that the popover lies above what this maps.
    virtual void watch(const QRect &area) = 0;
    // The popover moved to `area` while shown.
    virtual void follow(const QRect &area) { Q_UNUSED(area); }
    virtual void stop() = 0;

signals:
    // A click outside the popover. `mayBeOnIcon`: the click may have been on the tray icon,
    // whose click must then not open the popover again.
    void clickedOutside(bool mayBeOnIcon);
    // The closer's own window took the focus for the popover, or lost it.
    void focusTaken();
    void focusLost();
};
