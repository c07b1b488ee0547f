#pragma once
// The tray icon as a StatusNotifierItem on the session bus, registered with whichever
// StatusNotifierWatcher runs, again each time one appears; the watcher tells whether a host (a
// panel) runs to show it. The bus reaches it through the adaptor generated from
// org.kde.StatusNotifierItem.xml. Unlike Qt's own item it keeps the position hosts pass with a
// click, and it exports the menu through DBusMenuExporter.

#include "DBusMenuExporter.h"
#include "ProductName.h"
#include "TrayDBusTypes.h"

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPoint>

class QMenu;

class StatusNotifierItem : public QObject {
    Q_OBJECT
    // What the generated adaptor reads and calls, by the interface's own names.
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(SniPixmapList IconPixmap READ iconPixmap)
    Q_PROPERTY(SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    static constexpr const char *watcherService = "org.kde.StatusNotifierWatcher";
    static constexpr const char *watcherPath = "/StatusNotifierWatcher";
    static constexpr const char *objectPath = "/StatusNotifierItem";

    // Where the item stands with the watcher; only setRegistration() changes it.
    enum class Registration {
        noWatcher,   // no watcher runs (or the session has no bus): no host can show the icon
        registering, // a watcher runs; the registration, or whether a host runs, is on its way
        noHost,      // a watcher has the item, but no host (no panel) runs to show it
        shown,       // a watcher has the item and a host shows it
    };

    // Puts the item and `menu` on the session bus and registers as soon as a watcher runs.
    explicit StatusNotifierItem(QMenu &menu, QObject *parent = nullptr);
    ~StatusNotifierItem() override;
    StatusNotifierItem(const StatusNotifierItem &) = delete;
    StatusNotifierItem &operator=(const StatusNotifierItem &) = delete;

    [[nodiscard]] Registration registration() const noexcept { return m_registration; }
    void setIcon(const QList<QImage> &images);
    void setToolTip(const QString &title, const QString &description);

    [[nodiscard]] QString category() const { return QStringLiteral("ApplicationStatus"); }
    [[nodiscard]] QString id() const { return ProductName::command; }
    [[nodiscard]] QString title() const { return ProductName::display; }
    [[nodiscard]] QString status() const { return QStringLiteral("Active"); }
    [[nodiscard]] int windowId() const { return 0; }
    [[nodiscard]] QString iconName() const { return {}; }
    [[nodiscard]] SniPixmapList iconPixmap() const { return m_pixmaps; }
    [[nodiscard]] SniToolTip toolTip() const { return m_toolTip; }
    [[nodiscard]] bool itemIsMenu() const { return false; }
    [[nodiscard]] QDBusObjectPath menu() const {
        return QDBusObjectPath(QString::fromLatin1(DBusMenuExporter::objectPath));
    }

public slots:
    void Activate(int x, int y);
    void SecondaryActivate(int x, int y);
    void ContextMenu(int x, int y);
    void Scroll(int delta, const QString &orientation);

signals:
    void NewTitle();
    void NewIcon();
    void NewToolTip();
    void NewStatus(const QString &status);
    // A left click on the icon, at the point the host gave (null when it gave none).
    void activated(QPoint at);
    // The host asked for the menu there; the menu's "open" then places the popover there too.
    void menuRequested(QPoint at);
    void registrationChanged();

private slots:
    // A host registered with the watcher, or one went away.
    void onHostsChanged();

private:
    void setRegistration(Registration registration);
    void onWatcherOwnerChanged(const QString &newOwner);
    void registerWithWatcher();
    // Watchers run without a host too (kded started by a KDE program on another desktop).
    void askForHost();

    QDBusConnection m_connection;
    QMenu &m_menu;
    DBusMenuExporter m_exporter;
    QDBusServiceWatcher m_watcher;
    Registration m_registration = Registration::noWatcher;
    SniPixmapList m_pixmaps;
    SniToolTip m_toolTip;
};
