#include "PopoverWindow.h"

#include "AppViewModel.h"
#include "PopoverPlacement.h"

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

PopoverWindow::PopoverWindow(QQmlEngine &engine, const QUrl &viewUrl, AppViewModel &viewModel) {
    // A tool window has no taskbar entry; without a frame and above other windows it behaves
    // as a popover. Qt::Popup would grab the pointer, and the tray click that should close it
    // would then reopen it.
    setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
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
    followViewHeight();
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

void PopoverWindow::showBelow(const QRect &iconGeometry) {
    m_iconGeometry = iconGeometry;
    m_cursor = QCursor::pos();
    place();
    show();
    raise();
    requestActivate();
    m_sinceShown.start();
}

void PopoverWindow::dismiss() {
    if (isVisible()) {
        hideBecause(false);
    }
}

bool PopoverWindow::event(QEvent *event) {
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
    hide();
}

void PopoverWindow::onActiveChanged() {
    if (isActive() || !isVisible()) {
        return;
    }
    if (m_sinceShown.isValid() && m_sinceShown.elapsed() < focusGraceMs) {
        return;
    }
    hideBecause(true);
}

void PopoverWindow::followViewHeight() {
    const qreal viewHeight = m_view ? m_view->implicitHeight() : 0.0;
    const int height = viewHeight > 0 ? static_cast<int>(std::ceil(viewHeight)) : fallbackHeight;
    if (m_view) {
        m_view->setHeight(height);
    }
    resize(popoverWidth, height);
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
    setPosition(
        PopoverPlacement::topLeft(m_iconGeometry, m_cursor, screen->availableGeometry(), size()));
}
