#include "DBusMenuExporter.h"

#include <QAction>
#include <QActionEvent>
#include <QMenu>

namespace {

const QStringList itemProperties = {QStringLiteral("label"),       QStringLiteral("enabled"),
                                    QStringLiteral("visible"),     QStringLiteral("type"),
                                    QStringLiteral("toggle-type"), QStringLiteral("toggle-state")};

} // namespace

DBusMenuExporter::DBusMenuExporter(QMenu &menu, QObject *parent)
    : QObject(parent)
    , m_connection(QStringLiteral("none"))
    , m_menu(menu) {
    TrayDBusTypes::registerTypes();
    m_announce.setSingleShot(true);
    m_announce.setInterval(0);
    connect(&m_announce, &QTimer::timeout, this, &DBusMenuExporter::announceChanges);
    m_menu.installEventFilter(this);
}

DBusMenuExporter::~DBusMenuExporter() {
    if (m_connection.isConnected()) {
        m_connection.unregisterObject(QString::fromLatin1(objectPath));
    }
}

bool DBusMenuExporter::exportOn(const QDBusConnection &connection) {
    m_connection = connection;
    return m_connection.registerObject(QString::fromLatin1(objectPath), this,
                                       QDBusConnection::ExportScriptableContents |
                                           QDBusConnection::ExportAllProperties);
}

int DBusMenuExporter::idOf(QAction *action) {
    const auto found = m_ids.constFind(action);
    if (found != m_ids.cend()) {
        return *found;
    }
    const int id = m_nextId++;
    m_ids.insert(action, id);
    return id;
}

QAction *DBusMenuExporter::actionOf(int id) {
    // Every action the menu holds gets its id, asked for or not: a host may ask for an item
    // before it has read the layout.
    for (QAction *action : m_menu.actions()) {
        if (idOf(action) == id) {
            return action;
        }
    }
    return nullptr;
}

QVariantMap DBusMenuExporter::propertiesOf(int id, const QStringList &names) {
    QVariantMap properties;
    const auto wanted = [&names](const QString &name) {
        return names.isEmpty() || names.contains(name);
    };
    if (id == 0) {
        if (wanted(QStringLiteral("children-display"))) {
            properties.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
        }
        return properties;
    }
    const QAction *action = actionOf(id);
    if (action == nullptr) {
        return properties;
    }
    if (action->isSeparator()) {
        if (wanted(QStringLiteral("type"))) {
            properties.insert(QStringLiteral("type"), QStringLiteral("separator"));
        }
    } else if (wanted(QStringLiteral("label"))) {
        // DBusMenu marks mnemonics with '_' where Qt uses '&'.
        QString label = action->text();
        label.replace(QLatin1Char('_'), QStringLiteral("__"))
            .replace(QLatin1Char('&'), QLatin1Char('_'));
        properties.insert(QStringLiteral("label"), label);
    }
    if (wanted(QStringLiteral("enabled"))) {
        properties.insert(QStringLiteral("enabled"), action->isEnabled());
    }
    if (wanted(QStringLiteral("visible"))) {
        properties.insert(QStringLiteral("visible"), action->isVisible());
    }
    if (action->isCheckable() && wanted(QStringLiteral("toggle-type"))) {
        properties.insert(QStringLiteral("toggle-type"), QStringLiteral("checkmark"));
    }
    if (action->isCheckable() && wanted(QStringLiteral("toggle-state"))) {
        properties.insert(QStringLiteral("toggle-state"), action->isChecked() ? 1 : 0);
    }
    return properties;
}

uint DBusMenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList &propertyNames,
                                 DBusMenuLayoutItem &layout) {
    layout = DBusMenuLayoutItem{parentId, propertiesOf(parentId, propertyNames), {}};
    if (parentId == 0 && recursionDepth != 0) {
        for (QAction *action : m_menu.actions()) {
            const int id = idOf(action);
            layout.children.append({id, propertiesOf(id, propertyNames), {}});
        }
    }
    return m_revision;
}

DBusMenuItemPropertiesList DBusMenuExporter::GetGroupProperties(const QList<int> &ids,
                                                                const QStringList &propertyNames) {
    DBusMenuItemPropertiesList found;
    for (int id : ids) {
        if (id == 0 || actionOf(id) != nullptr) {
            found.append({id, propertiesOf(id, propertyNames)});
        }
    }
    return found;
}

QDBusVariant DBusMenuExporter::GetProperty(int id, const QString &name) {
    const QVariantMap found = propertiesOf(id, {name});
    if (!found.contains(name)) {
        // An empty variant cannot travel: the caller gets an error instead.
        sendErrorReply(QDBusError::InvalidArgs,
                       QStringLiteral("no property %1 on item %2").arg(name).arg(id));
        return {};
    }
    return QDBusVariant(found.value(name));
}

bool DBusMenuExporter::handleEvent(int id, const QString &eventId) {
    QAction *action = actionOf(id);
    if (action == nullptr) {
        return false;
    }
    if (eventId == QLatin1String("clicked") && action->isEnabled() && action->isVisible()) {
        // After the reply has gone: the action may end the program.
        QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
    }
    return true;
}

void DBusMenuExporter::Event(int id, const QString &eventId, const QDBusVariant &, uint) {
    static_cast<void>(handleEvent(id, eventId));
}

QList<int> DBusMenuExporter::EventGroup(const DBusMenuEventList &events) {
    QList<int> unknown;
    for (const DBusMenuEvent &event : events) {
        if (!handleEvent(event.id, event.eventId)) {
            unknown.append(event.id);
        }
    }
    return unknown;
}

bool DBusMenuExporter::AboutToShow(int id) {
    // A host is about to draw the menu: tell it as Qt's own menu does before it shows.
    if (id == 0) {
        emit m_menu.aboutToShow();
    }
    return false;
}

QList<int> DBusMenuExporter::AboutToShowGroup(const QList<int> &ids, QList<int> &idErrors) {
    if (ids.contains(0)) {
        static_cast<void>(AboutToShow(0));
    }
    for (int id : ids) {
        if (id != 0 && actionOf(id) == nullptr) {
            idErrors.append(id);
        }
    }
    return {};
}

bool DBusMenuExporter::eventFilter(QObject *watched, QEvent *event) {
    if (watched == &m_menu) {
        switch (event->type()) {
        case QEvent::ActionAdded:
        case QEvent::ActionRemoved:
            m_layoutChanged = true;
            m_announce.start();
            break;
        case QEvent::ActionChanged:
            m_changedItems.insert(idOf(static_cast<QActionEvent *>(event)->action()));
            m_announce.start();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void DBusMenuExporter::announceChanges() {
    if (m_layoutChanged) {
        m_layoutChanged = false;
        m_changedItems.clear();
        emit LayoutUpdated(++m_revision, 0);
        return;
    }
    DBusMenuItemPropertiesList updated;
    for (int id : std::as_const(m_changedItems)) {
        if (actionOf(id) != nullptr) {
            updated.append({id, propertiesOf(id, itemProperties)});
        }
    }
    m_changedItems.clear();
    if (!updated.isEmpty()) {
        emit ItemsPropertiesUpdated(updated, {});
    }
}
