#include "FocusKeeper.h"

#include "X11Hints.h"

#include <QExposeEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>

FocusKeeper::FocusKeeper() {
    setFlags(Qt::Window | Qt::FramelessWindowHint);
    setTitle(QStringLiteral("Толвекс: клавиатура"));
}

bool FocusKeeper::needed() {
    return QGuiApplication::platformName() == QLatin1String("xcb") &&
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
           qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(QLatin1String("GNOME"));
}

void FocusKeeper::cover(const QRect &area) {
    setGeometry(area);
    if (isVisible()) {
        return;
    }
    create();
    X11Hints::skipTaskbarAndPager(*this);
    m_activateOnExpose = true;
    show();
}

void FocusKeeper::exposeEvent(QExposeEvent *event) {
    QRasterWindow::exposeEvent(event);
    if (m_activateOnExpose && isExposed()) {
        m_activateOnExpose = false;
        X11Hints::activateAsPager(*this);
    }
}

void FocusKeeper::paintEvent(QPaintEvent *event) {
    // The popover's own background, should the two ever not line up.
    QPainter painter(this);
    painter.fillRect(event->rect(), QColor(0x11, 0x18, 0x27));
}

void FocusKeeper::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        emit escapePressed();
    } else if (event->key() == Qt::Key_Q && event->modifiers() == Qt::ControlModifier) {
        emit quitPressed();
    }
}

void FocusKeeper::focusOutEvent(QFocusEvent *) {
    if (isVisible()) {
        emit focusLost();
    }
}
