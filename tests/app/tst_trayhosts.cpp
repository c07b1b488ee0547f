// The real program on with-desktop.sh's display, bus, keyring and sound server with no tray
// at all, then with a StatusNotifierWatcher written here that comes late and restarts.

#include "ApiBaseUrl.h"
#include "KeyringTokenStore.h"
#include "TestHttpServer.h"
#include "TrayDBusTypes.h"
#include "XDisplay.h"

#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <signal.h>

namespace {

const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString product = QStringLiteral("Толвекс");

// The host side of the tray, as KDE's or GNOME's runs it.
class Watcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)

public:
    QString item; // the service name the program registered, once it has
    [[nodiscard]] bool hostRegistered() const { return m_host; }
    // A panel showing items registers with the watcher, or goes away.
    void setHost(bool host) {
        m_host = host;
        host ? emit StatusNotifierHostRegistered() : emit StatusNotifierHostUnregistered();
    }

    // On a connection of its own, so that it goes away as a watcher process would.
    bool start(const QString &connection) {
        m_connection = connection;
        QDBusConnection bus =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, connection);
        return bus.registerObject("/StatusNotifierWatcher", this,
                                  QDBusConnection::ExportScriptableContents |
                                      QDBusConnection::ExportAllProperties) &&
               bus.registerService("org.kde.StatusNotifierWatcher");
    }
    void stop() {
        QDBusConnection::disconnectFromBus(m_connection);
        item.clear();
    }

public slots:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString &service) { item = service; }
    Q_SCRIPTABLE void RegisterStatusNotifierHost(const QString &) {}

signals:
    Q_SCRIPTABLE void StatusNotifierHostRegistered();
    Q_SCRIPTABLE void StatusNotifierHostUnregistered();

private:
    QString m_connection;
    bool m_host = true;
};

// The program's visible window of the popover's width (0 when none).
qulonglong programWindow() {
    for (qulonglong window : XDisplay::visibleWindows("^tolvex$")) {
        if (const std::optional<QRect> rect = XDisplay::geometry(window);
            rect && rect->width() == 300)
            return window;
    }
    return 0;
}

} // namespace

class TestTrayHosts : public QObject {
    Q_OBJECT

public slots:
    // A host that keeps the menu it read redraws it on these signals only.
    void menuChanged() { ++m_menuChanges; }

private slots:
    void initTestCase();
    void withoutATrayTheScreensOpenInAWindowThatASecondStartShows();
    void aLateOrRestartedWatcherGetsTheIconAndItsMenu();
    void signedInTheMenuRecordsAndTheToolTipSaysSo();
    void cleanupTestCase() { m_program.kill(), m_program.waitForFinished(5000); }

private:
    void launch(const QStringList &arguments = {});
    [[nodiscard]] QVariant itemProperty(const QString &name) const;
    // The labels of the menu's visible items, and their ids.
    [[nodiscard]] QMap<QString, int> menu() const;
    void click(const QString &label);

    TestHttpServer m_service;
    Watcher m_watcher;
    QProcess m_program;
    int m_menuChanges = 0;
};

void TestTrayHosts::initTestCase() {
    QVERIFY2(qEnvironmentVariableIsSet("TOLVEX_DESKTOP"), "run inside with-desktop.sh (ctest)");
    TrayDBusTypes::registerTypes();
    // No XEmbed tray either.
    QVERIFY(::kill(qEnvironmentVariableIntValue("TOLVEX_TRAY_PID"), SIGTERM) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(XDisplay::visibleWindows("^trayer$").isEmpty(), 5000);
    m_service.setHandler([](const RecordedRequest &request) {
        if (request.target == "/api/auth/me" && request.header("Authorization") == "Bearer t")
            return TestAnswer::json(200, R"({"user_id": 7, "first_name": "Анна"})");
        if (request.target == "/api/meetings")
            return TestAnswer::json(200, R"({"id": 42, "status": "created"})");
        if (request.target == "/api/meetings/42/audio")
            return TestAnswer::json(500, R"({"detail": "down"})");
        return TestAnswer::json(401, R"({"detail": "unauthorized"})");
    });
}

void TestTrayHosts::launch(const QStringList &arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.insert("TOLVEX_API_BASE_URL", m_service.baseUrl());
    m_program.setProcessEnvironment(environment);
    m_program.setProcessChannelMode(QProcess::ForwardedChannels);
    m_program.start(TOLVEX_PROGRAM, arguments);
    QVERIFY(m_program.waitForStarted(5000));
}

QVariant TestTrayHosts::itemProperty(const QString &name) const {
    QDBusInterface properties(m_watcher.item, "/StatusNotifierItem",
                              "org.freedesktop.DBus.Properties");
    const QDBusReply<QDBusVariant> reply = properties.call("Get", itemInterface, name);
    return reply.isValid() ? reply.value().variant() : QVariant();
}

QMap<QString, int> TestTrayHosts::menu() const {
    const auto path = qdbus_cast<QDBusObjectPath>(itemProperty("Menu"));
    QDBusInterface exported(m_watcher.item, path.path(), "com.canonical.dbusmenu");
    const QDBusMessage reply = exported.call("GetLayout", 0, -1, QStringList());
    QMap<QString, int> items;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return items;
    const auto root = qdbus_cast<DBusMenuLayoutItem>(reply.arguments()[1]);
    for (const DBusMenuLayoutItem &child : root.children) {
        if (child.properties.value("visible", true).toBool() &&
            child.properties.value("type") != "separator")
            items.insert(child.properties.value("label").toString(), child.id);
    }
    return items;
}

void TestTrayHosts::click(const QString &label) {
    const auto path = qdbus_cast<QDBusObjectPath>(itemProperty("Menu"));
    QDBusInterface exported(m_watcher.item, path.path(), "com.canonical.dbusmenu");
    const QDBusMessage reply = exported.call("Event", menu().value(label, -1), "clicked",
                                             QVariant::fromValue(QDBusVariant(0)), 0U);
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(label));
}

void TestTrayHosts::withoutATrayTheScreensOpenInAWindowThatASecondStartShows() {
    // Started with the session, it gives a panel that starts after it longer than 5 s.
    launch({"--at-login"});
    QTest::qWait(7000);
    QCOMPARE(programWindow(), 0ULL);
    m_program.kill();
    QVERIFY(m_program.waitForFinished(5000));

    QElapsedTimer sinceStart;
    sinceStart.start();
    launch();
    QTRY_VERIFY_WITH_TIMEOUT(programWindow() != 0, 15000);
    QVERIFY2(sinceStart.elapsed() > 4500, "the window did not wait for a tray");
    const qulonglong window = programWindow();
    QCOMPARE(XDisplay::windowName(window), product);

    // Closing only hides it; a second start shows it again and ends.
    QTest::qWait(1000);
    XDisplay::close(window);
    QTRY_VERIFY2_WITH_TIMEOUT(programWindow() == 0, qPrintable(QString::number(window, 16)), 5000);
    QProcess second;
    second.start(TOLVEX_PROGRAM, {});
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(programWindow() != 0, 5000);
    QCOMPARE(m_program.state(), QProcess::Running);
}

void TestTrayHosts::aLateOrRestartedWatcherGetsTheIconAndItsMenu() {
    // Still running from the test before, its window open.
    QVERIFY(m_watcher.start("watcher-1"));
    QTRY_VERIFY_WITH_TIMEOUT(!m_watcher.item.isEmpty(), 2000);
    QTRY_VERIFY_WITH_TIMEOUT(programWindow() == 0, 2000);
    QCOMPARE(itemProperty("Title").toString(), product);
    QCOMPARE(menu().keys(), QStringList({"Выйти из Толвекса", "Запускать при входе",
                                         "Открыть Толвекс", "Предлагать запись звонков"}));
    const QDBusReply<QDBusVariant> offers =
        QDBusInterface(m_watcher.item, "/MenuBar", "com.canonical.dbusmenu")
            .call("GetProperty", menu().value("Предлагать запись звонков"), "toggle-state");
    QCOMPARE(offers.value().variant(), QVariant(1));

    // From the menu, with no panel taking room to show the tray's corner: by the pointer, which
    // is on the menu beside the icon.
    QVERIFY(QProcess::execute("xdotool", {"mousemove", "500", "300"}) == 0);
    click("Открыть Толвекс");
    QTRY_VERIFY_WITH_TIMEOUT(programWindow() != 0, 5000);
    const QRect opened = XDisplay::geometry(programWindow()).value_or(QRect());
    QVERIFY2(opened.adjusted(-48, -48, 48, 48).contains(500, 300), "away from the pointer");
    QDBusInterface(m_watcher.item, "/MenuBar", "com.canonical.dbusmenu").call("AboutToShow", 0);
    QTRY_VERIFY_WITH_TIMEOUT(programWindow() == 0, 3000);

    // A left click opens the popover (next to the host's point: the sway and GNOME tests).
    QDBusInterface(m_watcher.item, "/StatusNotifierItem", itemInterface).call("Activate", 1000, 12);
    QTRY_VERIFY_WITH_TIMEOUT(programWindow() != 0, 10000);
    QProcess xprop;
    xprop.start("xprop", {"-id", QString::number(programWindow()), "_NET_WM_STATE"});
    QVERIFY(xprop.waitForFinished(5000));
    QVERIFY2(xprop.readAll().contains("_NET_WM_STATE_SKIP_TASKBAR"), "in the task switcher");
    // A host about to draw the menu closes it, as a right click on an XEmbed icon does.
    QDBusInterface(m_watcher.item, "/MenuBar", "com.canonical.dbusmenu").call("AboutToShow", 0);
    QTRY_VERIFY_WITH_TIMEOUT(programWindow() == 0, 3000);

    // A watcher that no host asks (kded outside KDE) shows nothing: the window opens as without
    // a tray, goes when a host comes and opens again when the last host leaves.
    m_watcher.stop();
    m_watcher.setHost(false);
    QVERIFY(m_watcher.start("watcher-2"));
    QTRY_VERIFY_WITH_TIMEOUT(!m_watcher.item.isEmpty(), 2000);
    QTRY_VERIFY_WITH_TIMEOUT(programWindow() != 0, 10000);
    m_watcher.setHost(true);
    QTRY_VERIFY_WITH_TIMEOUT(programWindow() == 0, 3000);
    m_watcher.setHost(false);
    QTRY_VERIFY_WITH_TIMEOUT(programWindow() != 0, 10000);
    m_watcher.setHost(true);

    click("Выйти из Толвекса");
    QVERIFY(m_program.waitForFinished(5000) && m_program.exitCode() == 0);
}

void TestTrayHosts::signedInTheMenuRecordsAndTheToolTipSaysSo() {
    KeyringTokenStore store(ApiBaseUrl::tokenOrigin(m_service.baseUrl()));
    QCoro::waitFor(store.save("t"));
    m_watcher.item.clear();
    launch();
    QTRY_VERIFY_WITH_TIMEOUT(menu().contains("Начать запись"), 10000);
    // Signed in, the program starts with the session from now on, until the user says no.
    QFile entry(qEnvironmentVariable("XDG_CONFIG_HOME") + "/autostart/tolvex.desktop");
    QTRY_VERIFY(entry.exists());
    QVERIFY(entry.open(QIODevice::ReadOnly) &&
            entry.readAll().contains("\nExec=" TOLVEX_PROGRAM " --at-login\n"));
    click("Запускать при входе");
    QTRY_VERIFY(!entry.exists());
    for (const char *signal : {"LayoutUpdated", "ItemsPropertiesUpdated"})
        QDBusConnection::sessionBus().connect(m_watcher.item, "/MenuBar", "com.canonical.dbusmenu",
                                              signal, this, SLOT(menuChanged()));
    click("Начать запись");
    QTRY_VERIFY_WITH_TIMEOUT(menu().contains("Остановить запись"), 15000);
    QTRY_VERIFY2(m_menuChanges > 0, "the menu changed silently");
    const auto tip = qdbus_cast<SniToolTip>(itemProperty("ToolTip"));
    QVERIFY2(tip.description.startsWith("Идёт запись 00:"), qPrintable(tip.description));
    // The red dot on the badge, in every size (ARGB, big-endian).
    const auto icons = qdbus_cast<SniPixmapList>(itemProperty("IconPixmap"));
    QVERIFY(!icons.isEmpty());
    for (const SniPixmap &icon : icons)
        QVERIFY2(icon.argb.contains("\xff\xff\x3b\x30"), "no recording mark on the icon");
    // The service fails the upload: the menu offers the retry, the tooltip tells.
    click("Остановить запись");
    QTRY_VERIFY_WITH_TIMEOUT(menu().contains("Повторить загрузку"), 30000);
    QCOMPARE(qdbus_cast<SniToolTip>(itemProperty("ToolTip")).description, "Запись не загружена");
    // The next meeting does not wait: the failed recording joins the queue, which the menu
    // and the tooltip count once the next one failed too.
    click("Начать новую запись");
    QTRY_VERIFY_WITH_TIMEOUT(menu().contains("Остановить запись"), 15000);
    click("Остановить запись");
    QTRY_VERIFY_WITH_TIMEOUT(menu().contains("Повторить загрузку"), 30000);
    QVERIFY(menu().contains("Не отправлено: 1"));
    QCOMPARE(qdbus_cast<SniToolTip>(itemProperty("ToolTip")).description,
             "Запись не загружена\nНе отправлено: 1");
    click("Выйти из Толвекса");
    QVERIFY(m_program.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(TestTrayHosts)
#include "tst_trayhosts.moc"
