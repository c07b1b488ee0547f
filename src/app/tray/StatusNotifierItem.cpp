#include "StatusNotifierItem.h"

#include "Logging.h"
#include "statusnotifieritemadaptor.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMenu>
#include <QtEndian>

StatusNotifierItem::StatusNotifierItem(QMenu &menu, QObject *parent)
    : QObject(parent)
    , m_connection(QDBusConnection::sessionBus())
    , m_menu(menu)
    , m_exporter(menu) {
    TrayDBusTypes::registerTypes();
    // Owned by the item, as Qt's adaptors are.
    new StatusNotifierItemAdaptor(this);
    m_toolTip.title = title();
    if (!m_connection.isConnected()) {
        return;
    }
    const bool exported = m_exporter.exportOn(m_connection) &&
                          m_connection.registerObject(QString::fromLatin1(objectPath), this,
                                                      QDBusConnection::ExportAdaptors);
    if (!exported) {
        qCWarning(lcTray, "the tray icon cannot be put on the session bus: %s",
                  qUtf8Printable(m_connection.lastError().message()));
        return;
    }
    m_watcher.setConnection(m_connection);
    m_watcher.setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    m_watcher.addWatchedService(QString::fromLatin1(watcherService));
    connect(&m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                onWatcherOwnerChanged(newOwner);
            });
    for (const char *signal : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"}) {
        m_connection.connect(QString::fromLatin1(watcherService), QString::fromLatin1(watcherPath),
                             QString::fromLatin1(watcherService), QString::fromLatin1(signal), this,
                             SLOT(onHostsChanged()));
    }
    if (m_connection.interface()->isServiceRegistered(QString::fromLatin1(watcherService))) {
        registerWithWatcher();
    }
}

StatusNotifierItem::~StatusNotifierItem() {
    if (m_connection.isConnected()) {
        m_connection.unregisterObject(QString::fromLatin1(objectPath));
    }
}

void StatusNotifierItem::setRegistration(Registration registration) {
    if (m_registration == registration) {
        return;
    }
    m_registration = registration;
    emit registrationChanged();
}

void StatusNotifierItem::onWatcherOwnerChanged(const QString &newOwner) {
    if (newOwner.isEmpty()) {
        setRegistration(Registration::noWatcher);
        return;
    }
    // A watcher that started or restarted knows nothing of the item.
    registerWithWatcher();
}

// The item is registered by the connection's unique name and owns no well-known
// "org.kde.StatusNotifierItem-PID-ID" name. GNOME's extension watches a well-known name it is
// given, and that watch, racing with its first reading of the item, was seen to drop the icon a
// moment after it showed. A well-known name on the bus would also make the extension, when it
// starts after the program, add an item of its own beside the one registered here.
void StatusNotifierItem::registerWithWatcher() {
    setRegistration(Registration::registering);
    const QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(watcherService), QString::fromLatin1(watcherPath),
        QString::fromLatin1(watcherService), QStringLiteral("RegisterStatusNotifierItem"));
    auto *pending = new QDBusPendingCallWatcher(
        m_connection.asyncCall(QDBusMessage(call) << m_connection.baseService()), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                const QDBusPendingReply<> reply = *finished;
                if (reply.isError()) {
                    // The watcher went away meanwhile, or refused: the next owner change
                    // tries again.
                    qCWarning(lcTray, "the tray did not take the icon: %s",
                              qUtf8Printable(reply.error().message()));
                    setRegistration(Registration::noWatcher);
                    return;
                }
                askForHost();
            });
}

void StatusNotifierItem::askForHost() {
    const QDBusMessage call =
        QDBusMessage::createMethodCall(
            QString::fromLatin1(watcherService), QString::fromLatin1(watcherPath),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"))
        << QString::fromLatin1(watcherService) << QStringLiteral("IsStatusNotifierHostRegistered");
    auto *pending = new QDBusPendingCallWatcher(m_connection.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                const QDBusPendingReply<QDBusVariant> reply = *finished;
                if (m_registration == Registration::noWatcher) {
                    return; // the watcher went away meanwhile
                }
                if (reply.isError()) {
                    // A watcher without the property took the item: it is taken to show it.
                    qCWarning(lcTray, "the tray did not say whether a host runs: %s",
                              qUtf8Printable(reply.error().message()));
                    setRegistration(Registration::shown);
                    return;
                }
                setRegistration(reply.value().variant().toBool() ? Registration::shown
                                                                 : Registration::noHost);
            });
}

void StatusNotifierItem::onHostsChanged() {
    // While registering, the question follows the registration anyway.
    if (m_registration == Registration::noHost || m_registration == Registration::shown) {
        askForHost();
    }
}

void StatusNotifierItem::setIcon(const QList<QImage> &images) {
    m_pixmaps.clear();
    for (const QImage &source : images) {
        const QImage image = source.convertToFormat(QImage::Format_ARGB32);
        SniPixmap pixmap{image.width(), image.height(), {}};
        pixmap.argb.resize(qsizetype(image.width()) * image.height() * 4);
        auto *out = reinterpret_cast<quint32 *>(pixmap.argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto *line = reinterpret_cast<const quint32 *>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                *out++ = qToBigEndian(line[x]);
            }
        }
        m_pixmaps.append(pixmap);
    }
    m_toolTip.pixmaps = m_pixmaps;
    emit NewIcon();
}

void StatusNotifierItem::setToolTip(const QString &title, const QString &description) {
    m_toolTip.title = title;
    m_toolTip.description = description;
    emit NewToolTip();
}

void StatusNotifierItem::Activate(int x, int y) {
    emit activated(QPoint(x, y));
}

void StatusNotifierItem::SecondaryActivate(int x, int y) {
    emit activated(QPoint(x, y));
}

void StatusNotifierItem::ContextMenu(int x, int y) {
    // Hosts that do not draw exported menus ask the item to show its own.
    emit menuRequested(QPoint(x, y));
    m_menu.popup(QPoint(x, y));
}

void StatusNotifierItem::Scroll(int, const QString &) {}
