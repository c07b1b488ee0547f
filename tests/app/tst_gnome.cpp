// The real program on GNOME Shell with the AppIndicator extension (headless, Wayland, started by
// with-desktop.sh --desktop gnome): its icon takes its place in the top bar and stays there, and
// the menu a click shows opens the popover under it. Screenshots come through the Shell's own
// API, clicks through Mutter's remote desktop one.

#include "ApiBaseUrl.h"
#include "DesktopProbe.h"
#include "KeyringTokenStore.h"
#include "TestHttpServer.h"

#include <QCoroTask>

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDir>

#include <atomic>
#include <memory>

namespace {

constexpr int topBar = 32;

QImage screenshot(const QString &name = QStringLiteral("gnome-now.png")) {
    const QString path = QDir(qEnvironmentVariable("TMPDIR", "/tmp")).filePath(name);
    const QString service = QStringLiteral("org.gnome.Shell.Screenshot");
    QDBusInterface shell(service, QStringLiteral("/org/gnome/Shell/Screenshot"), service);
    const QDBusMessage answer = shell.call(QStringLiteral("Screenshot"), false, false, path);
    return answer.type() == QDBusMessage::ReplyMessage ? QImage(path) : QImage();
}

// Mutter moves this pointer only by steps, so it is first pushed into the top left corner. After
// that it moves straight: passing over another top bar button would open that one's menu.
class Pointer {
public:
    Pointer() {
        const QString service = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
        QDBusInterface desktop(service, QStringLiteral("/org/gnome/Mutter/RemoteDesktop"), service);
        const QDBusReply<QDBusObjectPath> path = desktop.call(QStringLiteral("CreateSession"));
        m_session = std::make_unique<QDBusInterface>(service, path.value().path(),
                                                     service + QStringLiteral(".Session"));
        m_session->call(QStringLiteral("Start"));
        m_session->call(QStringLiteral("NotifyPointerMotionRelative"), -4000.0, -4000.0);
    }
    void move(QPoint to) {
        m_session->call(QStringLiteral("NotifyPointerMotionRelative"), double(to.x() - m_at.x()),
                        double(to.y() - m_at.y()));
        m_at = to;
    }
    void click(QPoint at, int times = 1) {
        move(at);
        // The Shell takes a press that comes with the motion for a drag.
        QTest::qWait(300);
        for (int i = 0; i < times; ++i) {
            m_session->call(QStringLiteral("NotifyPointerButton"), 272, true);
            QTest::qWait(30);
            m_session->call(QStringLiteral("NotifyPointerButton"), 272, false);
            QTest::qWait(30);
        }
    }

    void key(uint keysym) {
        for (const bool down : {true, false})
            m_session->call(QStringLiteral("NotifyKeyboardKeysym"), keysym, down);
    }

private:
    std::unique_ptr<QDBusInterface> m_session;
    QPoint m_at;
};

// The sound server's record streams of clients: the program's two while it records.
int recordStreams() {
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), {"list", "short", "source-outputs"});
    pactl.waitForFinished(5000);
    return pactl.readAllStandardOutput().count("protocol-native"); // not the fixture's remap
}

// Whether an area holds writing rather than one flat colour: a button's label.
bool hasText(const QImage &image, const QRect &area) {
    int darkest = 255, lightest = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const int grey = qGray(image.pixel(x, y));
            darkest = std::min(darkest, grey);
            lightest = std::max(lightest, grey);
        }
    }
    return lightest - darkest > 80;
}

// `tolvex --status`, as a key bound to it prints it.
QString status() {
    QProcess tolvex;
    tolvex.start(QStringLiteral(TOLVEX_PROGRAM), {QStringLiteral("--status")});
    tolvex.waitForFinished(10000);
    return QString::fromUtf8(tolvex.readAllStandardOutput()).trimmed();
}

// The name of the X window Mutter has focused.
QString activeWindowName() {
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), {"getactivewindow", "getwindowname"});
    xdotool.waitForFinished(5000);
    return QString::fromUtf8(xdotool.readAllStandardOutput()).trimmed();
}

// The Shell opens its overview once it has started, which hides the windows.
void leaveOverview() {
    QDBusInterface shell(QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
                         QStringLiteral("org.gnome.Shell"));
    shell.setProperty("OverviewActive", false);
    waitFor([&] { return !shell.property("OverviewActive").toBool(); }, 3000);
    QTest::qWait(500);
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
    TestHttpServer m_service;
    QProcess m_program;
    QRect m_icon, m_menu;
    std::unique_ptr<Pointer> m_pointer;
    std::atomic<bool> m_uploadsArrive = false; // read by the service's thread

    // The extension shows the menu once no second click has come.
    QImage openMenu() {
        QTest::qWait(500);
        m_pointer->click(m_icon.center());
        QTest::qWait(800);
        return screenshot();
    }

private slots:
    // Started with the Shell, as at login. The extension drops an item it cannot read (a
    // property missing, no icon when it first looks): the icon then shows for a moment at most.
    void iconStaysInTheTopBar() {
        // The Shell lets only a few names take screenshots, the screenshot tool's among them.
        QVERIFY(
            QDBusConnection::sessionBus().registerService(QStringLiteral("org.gnome.Screenshot")));
        // A remote desktop session is marked in the top bar, which moves the icons.
        m_pointer = std::make_unique<Pointer>();
        QTest::qWait(1000);
        const QImage empty = screenshot();
        QVERIFY(!empty.isNull());
        // Signed in, so that the menu offers a recording.
        m_service.setHandler([this](const RecordedRequest &request) {
            if (request.target == "/api/auth/me" && request.header("Authorization") == "Bearer t")
                return TestAnswer::json(200, R"({"user_id": 7, "first_name": "Анна"})");
            const bool created = request.target == "/api/meetings" ||
                                 (m_uploadsArrive && request.target.endsWith("/audio"));
            return TestAnswer::json(created ? 200 : 500, R"({"id": 42, "status": "created"})");
        });
        QCoro::waitFor(KeyringTokenStore(ApiBaseUrl::tokenOrigin(m_service.baseUrl())).save("t"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TOLVEX_API_BASE_URL", m_service.baseUrl());
        m_program.setProcessEnvironment(environment);
        m_program.setProcessChannelMode(QProcess::ForwardedChannels);
        m_program.start(QStringLiteral(TOLVEX_PROGRAM), {});
        QVERIFY(m_program.waitForStarted());
        // Among the top bar's icons, left of the system menu.
        const QRect indicators(760, 2, 440, topBar - 4);
        QVERIFY(
            waitFor([&] { return !changed(empty, screenshot(), indicators).isEmpty(); }, 10000));
        QTest::qWait(4000);
        m_icon = changed(empty, screenshot(QStringLiteral("gnome-tray.png")), indicators);
        QVERIFY(!m_icon.isEmpty());
    }

    // Another program recording from the microphone for 5 s brings the offer, a banner of the
    // Shell that shows its two buttons under the pointer; "Начать запись" there records.
    void callOfferStartsARecording() {
        leaveOverview();
        const QRect below(0, topBar + 2, 1280, 300);
        const QImage quiet = screenshot();
        QProcess call;
        call.setStandardOutputFile(QProcess::nullDevice());
        call.start(QStringLiteral("parec"),
                   {"--raw", "--device=mic", "--property=application.name=Firefox"});
        QVERIFY(call.waitForStarted());
        QVERIFY(waitFor([&] { return !changed(quiet, screenshot(), below).isEmpty(); }, 10000));
        QTest::qWait(700); // its sliding in
        m_pointer->move(changed(quiet, screenshot(), below).center());
        QTest::qWait(1000); // the banner opens out under the pointer
        const QImage offer = screenshot();
        const QRect banner = changed(quiet, offer, below);
        offer.copy(banner.adjusted(-12, -12, 12, 12))
            .save(QDir(qEnvironmentVariable("TMPDIR", "/tmp")).filePath("gnome-call-offer.png"));
        // Two buttons side by side, each label in the middle of its half (one would be in the
        // middle of the banner).
        const QRect buttons(banner.left() + banner.width() / 4 - 40, banner.bottom() - 40, 80, 30);
        QVERIFY2(hasText(offer, buttons) &&
                     hasText(offer, buttons.translated(banner.width() / 2, 0)),
                 "the offer shows no two buttons");
        m_pointer->click({buttons.center().x(), buttons.center().y()}); // "Начать запись"
        QVERIFY2(waitFor([] { return status().startsWith("Идёт запись"); }, 10000),
                 qPrintable(status()));
        call.kill();
        call.waitForFinished();
        // Sent, and idle again for the menu's checks below once the Shell's banners have gone.
        m_uploadsArrive = true;
        m_pointer->move({640, 600});
        QProcess::execute(QStringLiteral(TOLVEX_PROGRAM), {QStringLiteral("--stop")});
        QVERIFY(waitFor([] { return status().startsWith("Запись не идёт"); }, 20000));
        m_uploadsArrive = false;
        QVERIFY(waitFor([&] { return changed(quiet, screenshot(), below).isEmpty(); }, 15000));
    }

    // A single click shows the menu; its first item says nothing of where the icon is, and
    // still opens the popover under it, on the screen.
    void menuOpensThePopoverUnderTheIcon() {
        leaveOverview();
        const QImage before = screenshot();
        m_pointer->click(m_icon.center());
        const QRect below(0, topBar + 2, 1280, 400);
        QVERIFY(waitFor([&] { return !changed(before, screenshot(), below).isEmpty(); }, 5000));
        QTest::qWait(500); // the menu's opening animation
        m_menu = changed(before, screenshot(), below);
        m_pointer->click({m_menu.center().x(), m_menu.top() + 24}); // "Открыть Толвекс"
        const std::optional<QRect> popover = settledPopoverOnXWayland(6000);
        QVERIFY(popover.has_value());
        QTest::qWait(500); // its first frame
        // No application name beside "Activities": the top bar lists no window of the program.
        const QImage shown = screenshot(QStringLiteral("gnome-popover.png"));
        QVERIFY(changed(before, shown, QRect(120, 2, 440, topBar - 4)).isEmpty());
        QVERIFY(distance(m_icon.center(), *popover) <= 48);
        QVERIFY(QRect(0, 0, 1280, 800).contains(*popover));
        // A click inside it, beside the title, leaves it open.
        m_pointer->click(popover->topLeft() + QPoint(220, 35));
        QTest::qWait(1000);
        QVERIFY(popoverOnXWayland().has_value());
    }

    // A click elsewhere, on the desktop or the top bar, and Escape close it; a double click opens
    // it where the extension says. A click on the icon closes it, the next one shows the menu,
    // which records and quits.
    void closingReopeningAndQuitting() {
        // XWayland drops the first key after it first gets the keyboard: a Shift goes first.
        m_pointer->key(0xffe1);
        for (const QPoint elsewhere : {QPoint(640, 600), QPoint(), QPoint(400, 15)}) {
            if (elsewhere.isNull()) {
                // The keys go to the popover once Mutter has focused the window taking them.
                QVERIFY(waitFor([] { return activeWindowName().startsWith("Толвекс: клавиатура"); },
                                3000));
                m_pointer->key(0xff1b); // Escape, with the pointer on the icon
            } else {
                m_pointer->click(elsewhere);
            }
            QVERIFY2(waitFor([&] { return !popoverOnXWayland(); }, 2000),
                     qPrintable(QStringLiteral("still open after %1,%2 (0,0: Escape)")
                                    .arg(elsewhere.x())
                                    .arg(elsewhere.y())));
            QTest::qWait(500);
            m_pointer->click(m_icon.center(), 2);
            std::optional<QRect> popover;
            QVERIFY(waitFor([&] { return (popover = popoverOnXWayland()).has_value(); }, 3000));
            QVERIFY(distance(m_icon.center(), *popover) <= 48);
        }
        m_pointer->click(m_icon.center());
        QVERIFY(waitFor([&] { return !popoverOnXWayland(); }, 2000));
        // "Начать запись" records; then the menu offers to stop it and the icon carries a mark.
        const QImage idle = openMenu();
        m_pointer->click({m_menu.center().x(), m_menu.top() + 64});
        QVERIFY(waitFor([] { return recordStreams() == 2; }, 10000));
        const QImage recording = openMenu();
        const QRect item(m_menu.left(), m_menu.top() + 50, m_menu.width(), 30);
        QVERIFY(!changed(idle, recording, item).isEmpty());
        QVERIFY(!changed(idle, recording, m_icon).isEmpty());
        m_pointer->click({m_menu.center().x(), m_menu.top() + 64}); // "Остановить запись"
        QVERIFY(waitFor([] { return recordStreams() == 0; }, 10000));
        // The failed upload's menu has one item more: "Начать новую запись". The failure's
        // notification shows left of the menu, and the menu is opened once the failure came.
        QVERIFY(waitFor([] { return status().startsWith("Запись не загружена"); }, 40000));
        const QImage closed = screenshot();
        const QRect menu = changed(
            closed, openMenu(), QRect(m_menu.left() - 20, topBar + 2, 1300 - m_menu.left(), 400));
        m_pointer->click({menu.center().x(), menu.bottom() - 24}); // "Выйти из Толвекса"
        QVERIFY(m_program.waitForFinished(5000) && m_program.exitCode() == 0);
    }
};

QTEST_GUILESS_MAIN(GnomeTest)
#include "tst_gnome.moc"
