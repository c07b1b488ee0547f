#pragma once
// The popover: a frameless Qt Quick window below the tray icon that hosts the screens. It is
// made once and shown and hidden as the user clicks; it has no taskbar entry of its own.
// Where there is no tray, the same screens show in an ordinary window instead.

#include "ClickShield.h"
#include "FocusKeeper.h"
#include "X11PressWatcher.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QQuickWindow>
#include <QRect>
#include <QUrl>

class AppViewModel;
class QQmlEngine;
class QQuickItem;

class PopoverWindow : public QQuickWindow {
    Q_OBJECT

public:
    static constexpr int popoverWidth = 300;
    // Used until the view reports a height of its own.
    static constexpr int fallbackHeight = 320;
    // Focus changes this soon after showing, or after the popover took the focus, come from
    // the click that opened it or from the compositor, not from a click elsewhere.
    static constexpr qint64 focusGraceMs = 300;
    // A tray click this soon after the popover closed itself on focus loss is the click that
    // took the focus away: it must not open the popover again.
    static constexpr qint64 reopenGuardMs = 400;

    // Loads the root view from `viewUrl` with `vm` set to `viewModel`. Throws
    // std::runtime_error with the toolkit's messages when the view cannot be made.
    PopoverWindow(QQmlEngine &engine, const QUrl &viewUrl, AppViewModel &viewModel);
    ~PopoverWindow() override;

    // What a left click on the tray icon does: hides a shown popover, otherwise shows it
    // under the icon (or the pointer, when the icon's place is unknown).
    void toggle(const QRect &iconGeometry);
    // `pointerOnIcon` false: opened from the tray menu, so the pointer is on the menu, and with
    // no icon geometry the popover goes to the tray's corner of the screen when a panel shows
    // which one it is, by the pointer otherwise.
    void showBelow(const QRect &iconGeometry, bool pointerOnIcon = true);
    void dismiss();
    // Without a tray: an ordinary window titled "Толвекс" with the application's icon, that
    // closing only hides, with `notice` above the screens.
    void showAsWindow(const QString &notice);
    // A tray came: the window goes, and the next opening is a popover again.
    void leaveWindowMode();
    [[nodiscard]] bool isWindowMode() const noexcept { return m_windowMode; }

signals:
    // Ctrl+Q in the popover, as in the tray menu.
    void quitRequested();

protected:
    bool event(QEvent *event) override;

private:
    void hideBecause(bool focusLost);
    void onActiveChanged();
    // The user went elsewhere: the popover closes, unless the loss came with its opening.
    void onFocusLost();
    void onPressAnywhere();
    void followViewHeight();
    void place();
    void setPopoverFlags();

    QPointer<QQuickItem> m_view;
    // Under XWayland only: the click outside the popover is seen through it.
    ClickShield m_shield;
    // Under GNOME's and Plasma's XWayland only: the keys reach the program through it.
    FocusKeeper m_keeper;
    // On X11 only: a click on a panel, which takes no focus from the popover, is seen through it.
    X11PressWatcher m_presses;
    QRect m_iconGeometry;
    QPoint m_cursor;
    bool m_pointerOnIcon = true;
    QElapsedTimer m_sinceShown;
    QElapsedTimer m_sinceFocusLostHide;
    QElapsedTimer m_sinceActivated;
    bool m_windowMode = false;
};
