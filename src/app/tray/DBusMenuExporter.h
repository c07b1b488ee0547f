#pragma once
// Puts a QMenu on the session bus as com.canonical.dbusmenu, so that a StatusNotifier host
// draws it as the icon's menu. Only what hosts read: label, enabled, visible and type.

#include "TrayDBusTypes.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

class QAction;
class QMenu;

class DBusMenuExporter : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    static constexpr const char *objectPath = "/MenuBar";

    // `menu` outlives the exporter; its actions are followed as they come, go and change.
    explicit DBusMenuExporter(QMenu &menu, QObject *parent = nullptr);
    ~DBusMenuExporter() override;
    DBusMenuExporter(const DBusMenuExporter &) = delete;
    DBusMenuExporter &operator=(const DBusMenuExporter &) = delete;

    // False when the object path is taken on that connection.
    [[nodiscard]] bool exportOn(const QDBusConnection &connection);

    [[nodiscard]] uint version() const { return 3; }
    [[nodiscard]] QString textDirection() const { return QStringLiteral("ltr"); }
    [[nodiscard]] QString status() const { return QStringLiteral("normal"); }
    [[nodiscard]] QStringList iconThemePath() const { return {}; }

public slots:
    Q_SCRIPTABLE uint GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                                DBusMenuLayoutItem &layout);
    Q_SCRIPTABLE DBusMenuItemPropertiesList GetGroupProperties(const QList<int> &ids,
                                                               const QStringList &propertyNames);
    Q_SCRIPTABLE QDBusVariant GetProperty(int id, const QString &name);
    Q_SCRIPTABLE void Event(int id, const QString &eventId, const QDBusVariant &data,
                            uint timestamp);
    Q_SCRIPTABLE QList<int> EventGroup(const DBusMenuEventList &events);
    Q_SCRIPTABLE bool AboutToShow(int id);
    Q_SCRIPTABLE QList<int> AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors);

signals:
    Q_SCRIPTABLE void LayoutUpdated(uint revision, int parent);
    Q_SCRIPTABLE void ItemsPropertiesUpdated(const DBusMenuItemPropertiesList &updatedProps,
                                             const DBusMenuItemKeysList &removedProps);
    Q_SCRIPTABLE void ItemActivationRequested(int id, uint timestamp);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    [[nodiscard]] int idOf(QAction *action);
    [[nodiscard]] QAction *actionOf(int id);
    [[nodiscard]] QVariantMap propertiesOf(int id, const QStringList &names);
    [[nodiscard]] bool handleEvent(int id, const QString &eventId);
    void announceChanges();

    QDBusConnection m_connection;
    QMenu &m_menu;
    QHash<QAction *, int> m_ids;
    int m_nextId = 1;
    uint m_revision = 1;
    // Changes are gathered and told once the event loop runs again: a state change moves
    // several properties at once.
    bool m_layoutChanged = false;
    QSet<int> m_changedItems;
    QTimer m_announce;
};
