#include "ClickShield.h"

#include "ProductName.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>

ClickShield::ClickShield() {
    setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint |
             Qt::WindowDoesNotAcceptFocus);
    // An alpha channel, so that what lies below stays visible; XWayland's compositor blends it.
    QSurfaceFormat format = requestedFormat();
    format.setAlphaBufferSize(8);
    setFormat(format);
    setTitle(ProductName::display + QStringLiteral(": щит"));
}

void ClickShield::cover() {
    QScreen *screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    setGeometry(screen->virtualGeometry());
    show();
}

void ClickShield::paintEvent(QPaintEvent *event) {
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(event->rect(), Qt::transparent);
}

void ClickShield::mousePressEvent(QMouseEvent *event) {
    event->accept();
    emit pressed();
}
