// The real program on GNOME Shell with the AppIndicator extension (headless, Wayland, started by
// with-desktop.sh --desktop gnome), where a single click on the icon opens the item's menu and
// a double click activates it. Input goes through Mutter's RemoteDesktop API, screenshots
// through the Shell's own, and the popover's place is read from XWayland.

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <functional>
#include <optional>

namespace {

constexpr int screenWidth = 1280, screenHeight = 800, topBar = 32;
constexpr int leftButton = 0x110; // BTN_LEFT
constexpr unsigned escape = 0xff1b;

QImage screenshot(const QString &name = QStringLiteral("gnome-now.png")) {
    const QString path = QDir(qEnvironmentVariable("TMPDIR", "/tmp")).filePath(name);
    QDBusInterface shell(QStringLiteral("org.gnome.Shell.Screenshot"),
                         QStringLiteral("/org/gnome/Shell/Screenshot"),
                         QStringLiteral("org.gnome.Shell.Screenshot"));
    const QDBusMessage answer = shell.call(QStringLiteral("Screenshot"), false, false, path);
    return answer.type() == QDBusMessage::ReplyMessage ? QImage(path) : QImage();
}

// Where two screenshots differ, within `area`.
QRect changed(const QImage &before, const QImage &after, const QRect &area) {
    QRect found;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (before.pixel(x, y) != after.pixel(x, y))
                found |= QRect(x, y, 1, 1);
        }
    }
    return found;
}

// The program's popover as XWayland knows it: mapped, 300 px wide, and where.
std::optional<QRect> popover() {
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"),
                  {"search", "--onlyvisible", "--name", "^Толвекс$", "getwindowgeometry", "%@"});
    xdotool.waitForFinished(5000);
    const QString text = QString::fromUtf8(xdotool.readAllStandardOutput());
    static const QRegularExpression window(
        QStringLiteral("Position: (\\d+),(\\d+).*\\n\\s*Geometry: (\\d+)x(\\d+)"));
    for (auto match = window.globalMatch(text); match.hasNext();) {
        const auto m = match.next();
        const QRect rect(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt(),
                         m.captured(4).toInt());
        if (rect.width() == 300)
            return rect;
    }
    return std::nullopt;
}

// Polls `done` until it holds or `ms` pass; a screenshot takes a while, so the time counts, not
// the tries.
bool waitFor(const std::function<bool()> &done, int ms) {
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (done())
            return true;
        QTest::qWait(100);
    }
    return done();
}

int distance(const QPoint &point, const QRect &rect) {
    const int dx = std::max({rect.left() - point.x(), 0, point.x() - rect.right()});
    const int dy = std::max({rect.top() - point.y(), 0, point.y() - rect.bottom()});
    return std::max(dx, dy);
}

} // namespace

class GnomeTest : public QObject {
    Q_OBJECT

public:
    ~GnomeTest() override {
        m_program.kill();
        m_program.waitForFinished();
    }

private:
    bool session(const char *method, const QVariantList &arguments = {}) {
        QDBusInterface session(QStringLiteral("org.gnome.Mutter.RemoteDesktop"), m_session,
                               QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session"));
        return session.callWithArgumentList(QDBus::Block, QString::fromLatin1(method), arguments)
                   .type() == QDBusMessage::ReplyMessage;
    }
    // The pointer to a place on the screen: first into the top left corner, where it stops.
    bool moveTo(const QPoint &at) {
        return session("NotifyPointerMotionRelative", {-4000.0, -4000.0}) &&
               session("NotifyPointerMotionRelative", {double(at.x()), double(at.y())});
    }
    bool click(const QPoint &at, int times = 1) {
        if (!moveTo(at))
            return false;
        for (int i = 0; i < times; ++i) {
            if (!session("NotifyPointerButton", {leftButton, true}) ||
                !session("NotifyPointerButton", {leftButton, false}))
                return false;
            QTest::qWait(80);
        }
        return true;
    }
    bool key(unsigned keysym) {
        return session("NotifyKeyboardKeysym", {keysym, true}) &&
               session("NotifyKeyboardKeysym", {keysym, false});
    }

    QString m_session;
    QProcess m_program;

private slots:
    void initTestCase() {
        // The Shell lets only a few names take screenshots, the screenshot tool's among them.
        QVERIFY(
            QDBusConnection::sessionBus().registerService(QStringLiteral("org.gnome.Screenshot")));
        QDBusInterface remote(QStringLiteral("org.gnome.Mutter.RemoteDesktop"),
                              QStringLiteral("/org/gnome/Mutter/RemoteDesktop"),
                              QStringLiteral("org.gnome.Mutter.RemoteDesktop"));
        const QDBusReply<QDBusObjectPath> created = remote.call(QStringLiteral("CreateSession"));
        QVERIFY2(created.isValid(), qPrintable(created.error().message()));
        m_session = created.value().path();
        QVERIFY(session("Start"));
        // The Shell starts in the overview, and shows that the screen is shared; both settle.
        QTest::qWait(2000);
        QVERIFY(click({screenWidth / 2, screenHeight / 2})); // into the workspace
        QTest::qWait(1500);
    }

    // A single click shows the menu, whose first item opens the popover next to the icon; a
    // double click opens it too; Escape closes it.
    void menuAndDoubleClickOpenThePopover() {
        const QImage empty = screenshot();
        QVERIFY(!empty.isNull());
        m_program.setProcessChannelMode(QProcess::ForwardedChannels);
        m_program.start(QStringLiteral(TOLVEX_PROGRAM), {});
        QVERIFY(m_program.waitForStarted());
        // The indicator takes its place among the top bar's icons, left of the system menu.
        QRect icon;
        QVERIFY(waitFor(
            [&] {
                const QRect now = changed(empty, screenshot(), {760, 2, 440, topBar - 4});
                const bool settled = !now.isEmpty() && now == icon;
                icon = now;
                return settled;
            },
            10000));

        const QImage beforeMenu = screenshot();
        QVERIFY(click(icon.center()));
        QRect menu;
        QVERIFY(waitFor(
            [&] {
                menu = changed(beforeMenu, screenshot(), {0, topBar, screenWidth, 400});
                return !menu.isEmpty();
            },
            3000));
        QVERIFY(!popover());
        QVERIFY(click({menu.center().x(), menu.top() + 26})); // "Открыть Толвекс"
        std::optional<QRect> window;
        QTRY_VERIFY_WITH_TIMEOUT((window = popover()).has_value(), 3000);
        screenshot(QStringLiteral("gnome-popover.png")); // kept with the test's files
        QVERIFY2(distance(icon.center(), *window) <= 48,
                 qPrintable(QStringLiteral("icon at %1,%2, popover at %3,%4")
                                .arg(icon.center().x())
                                .arg(icon.center().y())
                                .arg(window->x())
                                .arg(window->y())));
        QVERIFY(QRect(0, 0, screenWidth, screenHeight).contains(*window));

        QVERIFY(key(escape));
        QTRY_VERIFY_WITH_TIMEOUT(!popover(), 2000);
        QVERIFY(click(icon.center(), 2));
        QTRY_VERIFY_WITH_TIMEOUT(popover().has_value(), 3000);
    }
};

QTEST_GUILESS_MAIN(GnomeTest)
#include "tst_gnome.moc"
