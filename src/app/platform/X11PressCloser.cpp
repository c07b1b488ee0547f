#include "X11PressCloser.h"

#include <QCursor>
#include <QQuickWindow>

X11PressCloser::X11PressCloser(QQuickWindow &popover)
    : m_popover(popover) {
    connect(&m_presses, &X11PressWatcher::pressed, this, [this] {
        if (m_popover.isVisible() && !m_popover.geometry().contains(QCursor::pos())) {
            emit clickedOutside(true);
        }
    });
}

void X11PressCloser::watch(const QRect &) {
    m_presses.start();
}

void X11PressCloser::stop() {
    m_presses.stop();
}
