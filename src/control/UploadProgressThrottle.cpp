#include "UploadProgressThrottle.h"

UploadProgressThrottle::UploadProgressThrottle(QObject *parent)
    : QObject(parent) {
    m_announcer.setSingleShot(true);
    connect(&m_announcer, &QTimer::timeout, this, &UploadProgressThrottle::announce);
}

void UploadProgressThrottle::set(double value) {
    m_value = value;
    const bool finalValue = value == unknownProgress || value == 0.0 || value >= 1.0;
    if (finalValue || !m_sinceAnnounced.isValid() ||
        m_sinceAnnounced.elapsed() >= interval.count()) {
        announce();
    } else if (!m_announcer.isActive()) {
        // The latest value is announced when the interval is up, however many came meanwhile.
        m_announcer.start(interval - std::chrono::milliseconds(m_sinceAnnounced.elapsed()));
    }
}

void UploadProgressThrottle::announce() {
    m_announcer.stop();
    m_sinceAnnounced.start();
    emit changed();
}
