#include "KeeperCloser.h"

KeeperCloser::KeeperCloser(QQuickWindow &popover)
    : m_keeper(popover) {
    connect(&m_keeper, &FocusKeeper::focusTaken, this, &PopoverCloser::focusTaken);
    connect(&m_keeper, &FocusKeeper::focusLost, this, &PopoverCloser::focusLost);
}

void KeeperCloser::watch(const QRect &area) {
    // Mapped first, so the popover lies above both.
    m_keeper.cover(area);
    ShieldCloser::watch(area);
}

void KeeperCloser::follow(const QRect &area) {
    if (m_keeper.isVisible()) {
        m_keeper.cover(area);
    }
}

void KeeperCloser::stop() {
    ShieldCloser::stop();
    m_keeper.hide();
}
