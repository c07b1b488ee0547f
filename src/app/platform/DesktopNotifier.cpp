#include "DesktopNotifier.h"

#include "Logging.h"
#include "ProductName.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>
#include <QVariantMap>

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString interface = QStringLiteral("org.freedesktop.Notifications");

} // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection bus, QObject *parent)
    : QObject(parent)
    , m_bus(std::move(bus)) {
    m_bus.connect(service, path, interface, QStringLiteral("ActionInvoked"), this,
                  SLOT(onActionInvoked(uint, QString)));
    m_bus.connect(service, path, interface, QStringLiteral("NotificationClosed"), this,
                  SLOT(onClosed(uint, uint)));
}

DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::show(Kind kind, const QString &summary, const QString &body,
                           const QList<Action> &actions) {
    QStringList flatActions;
    for (const Action &action : actions)
        flatActions << action.key << action.label;
    // The server groups, names and pictures the notification by the program's desktop entry.
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QString(ProductName::command)}};
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, interface, QStringLiteral("Notify"));
    call << QString(ProductName::display) << (m_ids.contains(kind) ? m_ids.at(kind) : 0u)
         << QString(ProductName::command) << summary << body << flatActions << hints << qint32(-1);
    m_closeWhenShown.erase(kind);
    m_pending.insert(kind);
    // No autostart: a desktop without a server simply shows nothing.
    call.setAutoStartService(false);
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, kind, watcher] {
        watcher->deleteLater();
        m_pending.erase(kind);
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            qCDebug(lcApp, "no notification: %s", qPrintable(reply.error().message()));
            return;
        }
        m_ids[kind] = reply.value();
        if (m_closeWhenShown.erase(kind) > 0)
            close(kind);
    });
}

void DesktopNotifier::close(Kind kind) {
    if (!m_ids.contains(kind)) {
        if (m_pending.contains(kind))
            m_closeWhenShown.insert(kind);
        return;
    }
    const uint id = m_ids.at(kind);
    m_ids.erase(kind);
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface,
                                                       QStringLiteral("CloseNotification"));
    call << id;
    call.setAutoStartService(false);
    m_bus.asyncCall(call);
}

bool DesktopNotifier::kindOf(uint id, Kind &kind) const {
    for (const auto &[shown, shownId] : m_ids) {
        if (shownId == id) {
            kind = shown;
            return true;
        }
    }
    return false;
}

void DesktopNotifier::onActionInvoked(uint id, const QString &action) {
    Kind kind{};
    if (kindOf(id, kind))
        emit actionInvoked(kind, action);
}

void DesktopNotifier::onClosed(uint id, uint) {
    Kind kind{};
    if (!kindOf(id, kind))
        return;
    m_ids.erase(kind);
    emit closed(kind);
}
