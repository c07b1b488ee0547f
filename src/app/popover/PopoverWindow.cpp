#include "PopoverWindow.h"

#include "Logging.h"
#include "PopoverCloser.h"
#include "PopoverPlacement.h"
#include "X11Hints.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>

PopoverWindow::PopoverWindow(QQmlEngine &engine, const QUrl &viewUrl, AppViewModel &viewModel,
                             const DesktopSession &session)
    : ScreensWindow(engine, viewUrl, viewModel)
    , m_closer(PopoverCloser::forSession(session, *this)) {
    setFlags(m_closer->popoverFlags());
    connect(this, &QWindow::activeChanged, this, &PopoverWindow::onActiveChanged);
    connect(m_closer.get(), &PopoverCloser::clickedOutside, this, &PopoverWindow::hideBecause);
    // Taking the focus can come well after the popover showed on a busy machine; the focus
    // changes that come with it are not the user's either.
    connect(m_closer.get(), &PopoverCloser::focusTaken, this, [this] { m_sinceActivated.start(); });
    connect(m_closer.get(), &PopoverCloser::focusLost, this, &PopoverWindow::onFocusLost);
}

PopoverWindow::~PopoverWindow() = default;

void PopoverWindow::toggle(const QRect &iconGeometry) {
    if (isVisible()) {
        hideBecause(false);
        return;
    }
    if (m_sinceFocusLostHide.isValid() && m_sinceFocusLostHide.elapsed() < reopenGuardMs) {
        m_sinceFocusLostHide.invalidate();
        return;
    }
    showBelow(iconGeometry);
}

void PopoverWindow::showBelow(const QRect &iconGeometry, bool pointerOnIcon) {
    m_iconGeometry = iconGeometry;
    m_cursor = QCursor::pos();
    m_pointerOnIcon = pointerOnIcon;
    create();
    X11Hints::skipTaskbarAndPager(*this);
    place();
    m_closer->watch(geometry());
    show();
    raise();
    // A closer that holds the focus has it already; asking for it here would take it away.
    if (!m_closer->holdsFocus()) {
        requestActivate();
    }
    m_sinceShown.start();
    m_sinceActivated.invalidate();
}

void PopoverWindow::dismiss() {
    if (isVisible()) {
        hideBecause(false);
    }
}

void PopoverWindow::dismissByKey() {
    hideBecause(false);
}

void PopoverWindow::hideBecause(bool focusLost) {
    if (focusLost) {
        m_sinceFocusLostHide.start();
    } else {
        m_sinceFocusLostHide.invalidate();
    }
    setKeyboardGrabEnabled(false);
    hide();
    m_closer->stop();
}

void PopoverWindow::onActiveChanged() {
    if (isActive()) {
        m_sinceActivated.start();
        // Escape closes the popover wherever the pointer is. Only a window the window manager
        // has mapped can take the keyboard, which it has by the time it is active.
        setKeyboardGrabEnabled(true);
        return;
    }
    onFocusLost();
}

void PopoverWindow::onFocusLost() {
    if (!isVisible()) {
        return;
    }
    // Through XWayland, sway hands the focus back to its own surface just after the
    // popover took it: a loss that soon is not the user's click elsewhere.
    if ((m_sinceShown.isValid() && m_sinceShown.elapsed() < focusGraceMs) ||
        (m_sinceActivated.isValid() && m_sinceActivated.elapsed() < focusGraceMs)) {
        return;
    }
    qCInfo(lcPopover) << "closed: the focus went elsewhere" << m_sinceShown.elapsed()
                      << "ms after showing";
    hideBecause(true);
}

void PopoverWindow::resizedToView() {
    if (isVisible()) {
        place();
    }
}

void PopoverWindow::place() {
    const QPoint probe = m_iconGeometry.isEmpty() ? m_cursor : m_iconGeometry.center();
    QScreen *screen = QGuiApplication::screenAt(probe);
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr) {
        return;
    }
    setScreen(screen);
    // Where the pointer is not known over a panel, a stale place would put the popover
    // mid-screen. Opened from the menu, the pointer is on the menu: the panel's end is closer
    // to the icon, when a panel takes room to say which end that is. An autohiding one takes
    // none, nor one still starting up.
    const bool panelSeen = screen->availableGeometry() != screen->geometry();
    const QPoint pointer =
        !m_closer->knowsPointerOverPanels() || (!m_pointerOnIcon && panelSeen)
            ? PopoverPlacement::trayCorner(screen->geometry(), screen->availableGeometry())
            : m_cursor;
    setPosition(
        PopoverPlacement::topLeft(m_iconGeometry, pointer, screen->availableGeometry(), size()));
    m_closer->follow(geometry());
}
