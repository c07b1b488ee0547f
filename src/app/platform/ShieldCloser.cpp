#include "ShieldCloser.h"

ShieldCloser::ShieldCloser() {
    connect(&m_shield, &ClickShield::pressed, this, [this] { emit clickedOutside(false); });
}

void ShieldCloser::watch(const QRect &) {
    m_shield.cover();
}

void ShieldCloser::stop() {
    m_shield.hide();
}
