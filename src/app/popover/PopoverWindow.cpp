#include "PopoverWindow.h"

#include "AppViewModel.h"
#include "PopoverPlacement.h"
#include "TrayIconArt.h"
#include "X11Hints.h"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <memory>
#include <stdexcept>

PopoverWindow::PopoverWindow(QQmlEngine &engine, const QUrl &viewUrl, AppViewModel &viewModel)
    : m_keeper(*this) {
    setPopoverFlags();
    setTitle(QStringLiteral("Толвекс"));
    setColor(QColor(0x11, 0x18, 0x27));

    QQmlComponent component(&engine, viewUrl, QQmlComponent::PreferSynchronous);
    // Creating from a component that failed to load crashes Qt 6.4: look first.
    if (!component.isReady()) {
        throw std::runtime_error("the popover's view cannot be loaded: " +
                                 component.errorString().toStdString());
    }
    // The program owns the view model; without this the engine may collect it as its own
    // when it goes, and the program would then delete it a second time.
    QQmlEngine::setObjectOwnership(&viewModel, QQmlEngine::CppOwnership);
    std::unique_ptr<QObject> root(component.createWithInitialProperties(
        {{QStringLiteral("vm"), QVariant::fromValue(&viewModel)}}));
    auto *view = qobject_cast<QQuickItem *>(root.get());
    if (view == nullptr) {
        throw std::runtime_error("the popover's view cannot be loaded: " +
                                 component.errorString().toStdString());
    }
    root.release();
    m_view = view;
    m_view->setParent(contentItem());
    m_view->setParentItem(contentItem());
    m_view->setWidth(popoverWidth);

    connect(m_view, &QQuickItem::implicitHeightChanged, this, &PopoverWindow::followViewHeight);
    connect(this, &QWindow::activeChanged, this, &PopoverWindow::onActiveChanged);
    connect(&m_shield, &ClickShield::pressed, this, [this] { hideBecause(false); });
    connect(&m_keeper, &FocusKeeper::focusLost, this, &PopoverWindow::onFocusLost);
    connect(&m_presses, &X11PressWatcher::pressed, this, &PopoverWindow::onPressAnywhere);
    followViewHeight();
}

void PopoverWindow::setPopoverFlags() {
    // A tool window has no taskbar entry; without a frame and above other windows it behaves
    // as a popover. Qt::Popup would grab the pointer, and the tray click that should close it
    // would then reopen it.
    // Through XWayland the compositor places the windows it manages where it likes (sway
    // centres them); one it does not manage stays where the program puts it. Such a window has
    // no taskbar entry anyway, and must not be a tool window: wlroots gives no keyboard to an
    // unmanaged tool window, so Escape would not reach it.
    if (X11Hints::underXWayland()) {
        setFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                 Qt::X11BypassWindowManagerHint);
        return;
    }
    setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
}

void PopoverWindow::showAsWindow(const QString &notice) {
    if (!m_windowMode) {
        hide();
        m_windowMode = true;
        // The flags of a window the system knows take effect when it is made again.
        destroy();
        setFlags(Qt::Window);
        setIcon(TrayIconArt::icon(false));
    }
    if (m_view) {
        m_view->setProperty("notice", notice);
    }
    show();
    raise();
    requestActivate();
}

void PopoverWindow::leaveWindowMode() {
    if (!m_windowMode) {
        return;
    }
    hide();
    m_windowMode = false;
    destroy();
    setPopoverFlags();
    if (m_view) {
        m_view->setProperty("notice", QString());
    }
}

PopoverWindow::~PopoverWindow() {
    // The view refers to the view model; it goes before the window's scene does.
    delete m_view;
}

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
    if (m_windowMode) {
        show();
        raise();
        requestActivate();
        return;
    }
    create();
    X11Hints::skipTaskbarAndPager(*this);
    place();
    // Mapped first, so the popover lies above them.
    if (FocusKeeper::needed()) {
        m_keeper.cover(geometry());
    }
    if (X11Hints::underXWayland()) {
        m_shield.cover();
    } else {
        m_presses.start();
    }
    show();
    raise();
    // The keeper holds the focus where there is one; asking for it here would take it away.
    if (!FocusKeeper::needed()) {
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

bool PopoverWindow::event(QEvent *event) {
    if (event->type() == QEvent::Close && m_windowMode) {
        // Without a tray this window is the program: closing it only hides it.
        event->ignore();
        hide();
        return true;
    }
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier) {
            hideBecause(false);
            return true;
        }
        if (key->key() == Qt::Key_Q && key->modifiers() == Qt::ControlModifier) {
            emit quitRequested();
            return true;
        }
    }
    return QQuickWindow::event(event);
}

void PopoverWindow::hideBecause(bool focusLost) {
    if (focusLost) {
        m_sinceFocusLostHide.start();
    } else {
        m_sinceFocusLostHide.invalidate();
    }
    setKeyboardGrabEnabled(false);
    hide();
    m_shield.hide();
    m_keeper.hide();
    m_presses.stop();
}

void PopoverWindow::onActiveChanged() {
    if (isActive()) {
        m_sinceActivated.start();
        // Escape closes the popover wherever the pointer is. Only a window the window manager
        // has mapped can take the keyboard, which it has by the time it is active.
        if (!m_windowMode) {
            setKeyboardGrabEnabled(true);
        }
        return;
    }
    onFocusLost();
}

void PopoverWindow::onFocusLost() {
    if (!isVisible() || m_windowMode) {
        return;
    }
    // Through XWayland, sway hands the focus back to its own surface just after the
    // popover took it: a loss that soon is not the user's click elsewhere.
    if ((m_sinceShown.isValid() && m_sinceShown.elapsed() < focusGraceMs) ||
        (m_sinceActivated.isValid() && m_sinceActivated.elapsed() < focusGraceMs)) {
        return;
    }
    hideBecause(true);
}

void PopoverWindow::onPressAnywhere() {
    // As a focus loss: the press may be on the tray icon, whose click must not reopen it.
    if (isVisible() && !m_windowMode && !geometry().contains(QCursor::pos())) {
        hideBecause(true);
    }
}

void PopoverWindow::followViewHeight() {
    const qreal viewHeight = m_view ? m_view->implicitHeight() : 0.0;
    const int height = viewHeight > 0 ? static_cast<int>(std::ceil(viewHeight)) : fallbackHeight;
    if (m_view) {
        m_view->setHeight(height);
    }
    resize(popoverWidth, height);
    if (isVisible() && !m_windowMode) {
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
    // Under XWayland the pointer is only known while it is over an X window, never over the
    // panel, so a stale place would put the popover mid-screen. Opened from the menu, the
    // pointer is on the menu: the panel's end is closer to the icon, when a panel takes room
    // to say which end that is. An autohiding one takes none, nor one still starting up.
    const bool panelSeen = screen->availableGeometry() != screen->geometry();
    const QPoint pointer =
        X11Hints::underXWayland() || (!m_pointerOnIcon && panelSeen)
            ? PopoverPlacement::trayCorner(screen->geometry(), screen->availableGeometry())
            : m_cursor;
    setPosition(
        PopoverPlacement::topLeft(m_iconGeometry, pointer, screen->availableGeometry(), size()));
    if (m_keeper.isVisible()) {
        m_keeper.cover(geometry());
    }
}
