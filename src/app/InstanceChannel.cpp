#include "InstanceChannel.h"

#include <QDBusConnection>
#include <QDBusMessage>

InstanceChannel::InstanceChannel(QObject *parent)
    : QObject(parent) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    m_owned = bus.isConnected() &&
              bus.registerObject(QString::fromLatin1(objectPath), this,
                                 QDBusConnection::ExportScriptableSlots) &&
              bus.registerService(QString::fromLatin1(serviceName));
}

InstanceChannel::~InstanceChannel() {
    if (m_owned) {
        QDBusConnection bus = QDBusConnection::sessionBus();
        bus.unregisterService(QString::fromLatin1(serviceName));
        bus.unregisterObject(QString::fromLatin1(objectPath));
    }
}

bool InstanceChannel::askRunningCopyToShow() {
    const QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(serviceName), QString::fromLatin1(objectPath),
        QString::fromLatin1(serviceName), QStringLiteral("Show"));
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 5000).type() ==
           QDBusMessage::ReplyMessage;
}

void InstanceChannel::Show() {
    emit showRequested();
}
