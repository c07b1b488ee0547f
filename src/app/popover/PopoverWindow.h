#pragma once
// The popover: a frameless window below the tray icon that hosts the screens. It is made once
// and shown and hidden as the user clicks; it has no taskbar entry of its own. How it learns
// that the user went elsewhere is the PopoverCloser's part, chosen for the session.

#include "ScreensWindow.h"

#include <QElapsedTimer>
#include <QPoint>
#include <QRect>

#include <memory>

class DesktopSession;
class PopoverCloser;

class PopoverWindow : public ScreensWindow {
    Q_OBJECT

public:
    // Focus changes this soon after showing, or after the popover took the focus, come from
    // the click that opened it or from the compositor, not from a click elsewhere.
    static constexpr qint64 focusGraceMs = 300;
    // A tray click this soon after the popover closed itself on focus loss is the click that
    // took the focus away: it must not open the popover again.
    static constexpr qint64 reopenGuardMs = 400;

    // See ScreensWindow; `session` chooses the way the popover closes.
    PopoverWindow(QQmlEngine &engine, const QUrl &viewUrl, AppViewModel &viewModel,
                  const DesktopSession &session);
    ~PopoverWindow() override;

    // What a left click on the tray icon does: hides a shown popover, otherwise shows it
    // under the icon (or the pointer, when the icon's place is unknown).
    void toggle(const QRect &iconGeometry);
    // `pointerOnIcon` false: opened from the tray menu, so the pointer is on the menu, and with
    // no icon geometry the popover goes to the tray's corner of the screen when a panel shows
    // which one it is, by the pointer otherwise.
    void showBelow(const QRect &iconGeometry, bool pointerOnIcon = true);
    void dismiss();

protected:
    void dismissByKey() override;
    void resizedToView() override;

private:
    void hideBecause(bool focusLost);
    void onActiveChanged();
    // The user went elsewhere: the popover closes, unless the loss came with its opening.
    void onFocusLost();
    void place();

    std::unique_ptr<PopoverCloser> m_closer;
    QRect m_iconGeometry;
    QPoint m_cursor;
    bool m_pointerOnIcon = true;
    QElapsedTimer m_sinceShown;
    QElapsedTimer m_sinceFocusLostHide;
    QElapsedTimer m_sinceActivated;
};
