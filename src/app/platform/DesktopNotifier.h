#pragma once
// The desktop's notifications (org.freedesktop.Notifications on the session bus): one at a
// time of each kind, the newer replacing the older, closed when what it said has passed.
// Without a notification server nothing shows and nothing fails.

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <set>

class DesktopNotifier : public QObject {
    Q_OBJECT

public:
    enum class Kind { uploaded, uploadFailed, signInExpired, call, stopReminder, stoppedInSilence };

    struct Action {
        QString key;
        QString label;
    };

    explicit DesktopNotifier(QDBusConnection bus = QDBusConnection::sessionBus(),
                             QObject *parent = nullptr);
    ~DesktopNotifier() override;

    // Replaces this program's earlier notification of `kind`, if it still shows.
    void show(Kind kind, const QString &summary, const QString &body,
              const QList<Action> &actions = {});
    void close(Kind kind);

signals:
    void actionInvoked(DesktopNotifier::Kind kind, const QString &action);
    // The server took the notification of `kind` away (dismissed, expired or closed by us).
    void closed(DesktopNotifier::Kind kind);

private slots:
    void onActionInvoked(uint id, const QString &action);
    void onClosed(uint id, uint reason);

private:
    // The kind whose notification has `id`; false when it is none of ours.
    bool kindOf(uint id, Kind &kind) const;

    QDBusConnection m_bus;
    // The server's id of each kind's notification that shows.
    std::map<Kind, uint> m_ids;
    // Shown, but the server has not yet said with which id.
    std::set<Kind> m_pending;
    // A close asked for before the server said which id it gave.
    std::set<Kind> m_closeWhenShown;
};
