#include "FocusKeeper.h"

#include "ProductName.h"
#include "X11Hints.h"

#include <QExposeEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QQuickWindow>

FocusKeeper::FocusKeeper(QQuickWindow &popover)
    : m_popover(popover) {
    setFlags(Qt::Window | Qt::FramelessWindowHint);
    setTitle(ProductName::display + QStringLiteral(": клавиатура"));
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
    painter.fillRect(event->rect(), m_popover.color());
}

void FocusKeeper::keyPressEvent(QKeyEvent *event) {
    QCoreApplication::sendEvent(&m_popover, event);
}

void FocusKeeper::focusInEvent(QFocusEvent *) {
    emit focusTaken();
}

void FocusKeeper::focusOutEvent(QFocusEvent *) {
    if (isVisible()) {
        emit focusLost();
    }
}
