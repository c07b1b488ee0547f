#include "InstanceChannel.h"

#include "ProductName.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <utility>

namespace {

constexpr int answerWaitMs = 5000;

QDBusMessage callRunningCopy(const QString &method) {
    const QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(InstanceChannel::serviceName),
                                       QString::fromLatin1(InstanceChannel::objectPath),
                                       QString::fromLatin1(InstanceChannel::serviceName), method);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, answerWaitMs);
}

} // namespace

InstanceChannel::InstanceChannel(Handler handler, QObject *parent)
    : QObject(parent)
    , m_handler(std::move(handler)) {
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
    return callRunningCopy(QStringLiteral("Show")).type() == QDBusMessage::ReplyMessage;
}

InstanceChannel::Outcome InstanceChannel::askRunningCopy(Command command) {
    QString method;
    switch (command) {
    case Command::toggle:
        method = QStringLiteral("Toggle");
        break;
    case Command::start:
        method = QStringLiteral("Start");
        break;
    case Command::stop:
        method = QStringLiteral("Stop");
        break;
    case Command::status:
        method = QStringLiteral("Status");
        break;
    }
    const QDBusMessage reply = callRunningCopy(method);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return {true, reply.arguments().value(0).toString()};
    if (reply.type() == QDBusMessage::ErrorMessage &&
        reply.errorName() == QLatin1String(notDoneError))
        return {false, reply.errorMessage()};
    return {false, ProductName::display + QStringLiteral(" не запущен")};
}

void InstanceChannel::Show() {
    emit showRequested();
}

QString InstanceChannel::Toggle() {
    return run(Command::toggle);
}

QString InstanceChannel::Start() {
    return run(Command::start);
}

QString InstanceChannel::Stop() {
    return run(Command::stop);
}

QString InstanceChannel::Status() {
    return run(Command::status);
}

QString InstanceChannel::run(Command command) {
    const Outcome outcome = m_handler(command);
    if (!outcome.done && calledFromDBus())
        sendErrorReply(QString::fromLatin1(notDoneError), outcome.text);
    return outcome.text;
}
