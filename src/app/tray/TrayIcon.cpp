#include "TrayIcon.h"

#include "ProductName.h"
#include "TrayIconArt.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QMenu>

namespace {

// A host gives one point of the icon (where it was clicked, or where a popup should go); the
// icon around it is taken to be a panel's usual size, so that the popover clears the panel.
QRect iconAround(QPoint at) {
    constexpr int span = 32;
    return at.isNull() ? QRect() : QRect(at - QPoint(span / 2, span / 2), QSize(span, span));
}

} // namespace

TrayIcon::TrayIcon(QMenu &menu, QObject *parent)
    : QObject(parent)
    , m_menu(menu)
    , m_item(menu) {
    const QDBusConnection bus = QDBusConnection::sessionBus();
    m_xembedUsable =
        !bus.isConnected() || !bus.interface()->isServiceRegistered(
                                  QString::fromLatin1(StatusNotifierItem::watcherService));
    m_item.setIcon(TrayIconArt::images(false));
    connect(&m_item, &StatusNotifierItem::activated, this,
            [this](QPoint at) { emit clicked(iconAround(at)); });
    connect(&m_item, &StatusNotifierItem::menuRequested, this,
            [this](QPoint at) { emit menuAsked(iconAround(at)); });
    connect(&m_item, &StatusNotifierItem::registrationChanged, this,
            &TrayIcon::registrationChanged);
}

TrayIcon::~TrayIcon() = default;

bool TrayIcon::xembedTrayAvailable() const {
    return m_xembedUsable && QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::showInXEmbedTray() {
    if (m_xembed) {
        return;
    }
    m_xembed = std::make_unique<QSystemTrayIcon>(TrayIconArt::icon(m_recording));
    // The tray shows this menu itself on a right click; the click then arrives here as
    // Context, which leaves the popover alone.
    m_xembed->setContextMenu(&m_menu);
    connect(m_xembed.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // An XEmbed tray reports the second of two quick clicks as a double click;
                // each click still opens or closes the popover.
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    emit clicked(m_xembed->geometry());
                }
            });
    setToolTip(m_toolTip);
    m_xembed->show();
}

void TrayIcon::leaveXEmbedTray() {
    m_xembed.reset();
}

QRect TrayIcon::xembedGeometry() const {
    return m_xembed ? m_xembed->geometry() : QRect();
}

void TrayIcon::setRecording(bool recording) {
    if (recording == m_recording) {
        return;
    }
    m_recording = recording;
    m_item.setIcon(TrayIconArt::images(recording));
    if (m_xembed) {
        m_xembed->setIcon(TrayIconArt::icon(recording));
    }
}

void TrayIcon::setToolTip(const QStringList &lines) {
    m_toolTip = lines;
    const QString description = lines.join(QLatin1Char('\n'));
    m_item.setToolTip(ProductName::display, description);
    if (m_xembed) {
        m_xembed->setToolTip(lines.isEmpty()
                                 ? ProductName::display
                                 : ProductName::display + QLatin1Char('\n') + description);
    }
}
