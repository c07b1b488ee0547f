// The real program on a wlroots Wayland desktop (headless sway with XWayland, started by
// with-desktop.sh --desktop sway) with waybar's tray, a StatusNotifier host, driven by clicks
// of a virtual pointer and read through screenshots and XWayland.

#include "DesktopProbe.h"

#include <QDir>

namespace {

constexpr int screenWidth = 1280, screenHeight = 800, barHeight = 30;

QImage screenshot(const QString &name = QStringLiteral("sway-now.png")) {
    const QString path = QDir(qEnvironmentVariable("TMPDIR", "/tmp")).filePath(name);
    QProcess grim;
    grim.start(QStringLiteral("grim"), {path});
    grim.waitForFinished(10000);
    return QImage(path);
}

} // namespace

class SwayTest : public QObject {
    Q_OBJECT

public:
    ~SwayTest() override {
        for (QProcess *process : {&m_program, &m_bar, &m_pointer, &m_monitor}) {
            process->kill();
            process->waitForFinished();
        }
    }

private:
    bool pointer(const QString &command) {
        m_pointer.write(command.toUtf8() + '\n');
        return m_pointer.waitForReadyRead(5000) && m_pointer.readLine().trimmed() == "ok";
    }
    bool moveTo(const QPoint &at) {
        return pointer(QStringLiteral("move %1 %2 %3 %4")
                           .arg(at.x())
                           .arg(at.y())
                           .arg(screenWidth)
                           .arg(screenHeight));
    }
    // A click of the virtual pointer: 272 the left button, 273 the right one.
    bool click(const QPoint &at, int button = 272) {
        return moveTo(at) && pointer(QStringLiteral("press %1").arg(button)) &&
               pointer(QStringLiteral("release %1").arg(button));
    }
    int activations() {
        m_monitorText += QString::fromUtf8(m_monitor.readAllStandardOutput());
        return m_monitorText.count(QStringLiteral("member=Activate"));
    }
    // The point the tray host passed with its last Activate, as the bus carried it.
    std::optional<QPoint> reportedPoint() {
        static const QRegularExpression call(
            QStringLiteral("member=Activate\\n\\s*int32 (-?\\d+)\\n\\s*int32 (-?\\d+)"));
        m_monitorText += QString::fromUtf8(m_monitor.readAllStandardOutput());
        QRegularExpressionMatch last;
        for (auto match = call.globalMatch(m_monitorText); match.hasNext();)
            last = match.next();
        return last.hasMatch()
                   ? std::optional(QPoint(last.captured(1).toInt(), last.captured(2).toInt()))
                   : std::nullopt;
    }

    QProcess m_program, m_bar, m_pointer, m_monitor;
    QString m_monitorText;

private slots:
    // The program starts before the panel, as at login: the icon comes once the tray host
    // does. A click on it opens the popover, floating, next to the icon or to the point waybar
    // reports (which is the click's place within the tray, not on the screen); a second click
    // closes it, as do a click elsewhere and Escape; a right click opens no popover.
    void trayIconAndPopover() {
        m_pointer.start(qEnvironmentVariable("TOLVEX_VIRTUAL_POINTER"), {});
        QVERIFY(m_pointer.waitForReadyRead(5000) && m_pointer.readLine().trimmed() == "ok");
        m_monitor.start(QStringLiteral("dbus-monitor"),
                        {"--session", "interface='org.kde.StatusNotifierItem',member='Activate'"});
        m_program.setProcessChannelMode(QProcess::ForwardedChannels);
        m_program.start(QStringLiteral(TOLVEX_PROGRAM), {});
        QVERIFY(m_program.waitForStarted());
        QTest::qWait(5000);
        m_bar.start(QStringLiteral("waybar"), {"-c", qEnvironmentVariable("TOLVEX_WAYBAR_CONFIG")});
        QVERIFY(m_bar.waitForStarted());
        QVERIFY(waitFor(
            [] {
                const QImage shot = screenshot();
                return !shot.isNull() && shot.pixel(5, 5) != shot.pixel(5, barHeight + 20);
            },
            5000));
        // The bar is drawn before its tray has an item; the icon follows within 2 s.
        const QRect bar(screenWidth / 2, 2, screenWidth / 2, barHeight - 6);
        QRect icon;
        QVERIFY(waitFor(
            [&] {
                const QImage shot = screenshot();
                for (int x = bar.left(); x <= bar.right(); ++x)
                    for (int y = bar.top(); y <= bar.bottom(); ++y)
                        if (shot.pixel(x, y) != shot.pixel(bar.left(), y))
                            icon |= QRect(x, y, 1, 1);
                return !icon.isEmpty();
            },
            2500));

        // waybar has been seen to miss the first click on an item it has just added: a second
        // one comes only when it called nothing.
        QVERIFY(click(icon.center()));
        if (!waitFor([&] { return reportedPoint().has_value(); }, 1000))
            QVERIFY(click(icon.center()));
        std::optional<QRect> window;
        QVERIFY2(waitFor([&] { return (window = popoverOnXWayland()).has_value(); }, 5000),
                 qPrintable(QStringLiteral("after %1 Activate calls").arg(activations())));
        QTest::qWait(300);
        screenshot(QStringLiteral("sway-popover.png")); // kept with the test's files
        const std::optional<QPoint> reported = reportedPoint();
        QVERIFY(reported.has_value());
        QVERIFY(std::min(distance(icon.center(), *window), distance(*reported, *window)) <= 48);
        QVERIFY(QRect(0, 0, screenWidth, screenHeight).contains(*window));

        QVERIFY(click(icon.center()));
        QVERIFY(waitFor([] { return !popoverOnXWayland(); }, 2000));
        // A click elsewhere, on the desktop or on the bar, and Escape wherever the pointer is.
        for (const QPoint elsewhere : {QPoint(640, 500), QPoint(640, 12), QPoint()}) {
            QTest::qWait(500);
            QVERIFY(click(icon.center()));
            QVERIFY(waitFor([] { return popoverOnXWayland().has_value(); }, 3000));
            QTest::qWait(500);
            // A fresh virtual keyboard's keymap reaches XWayland only after a while.
            const QStringList escape{"-s", "400", "-k", "Escape"};
            QVERIFY(elsewhere.isNull()
                        ? moveTo({640, 500}) && QProcess::execute("wtype", escape) == 0
                        : click(elsewhere));
            QVERIFY(waitFor([] { return !popoverOnXWayland(); }, 2000));
        }
        QVERIFY(click(icon.center(), 273));
        QTest::qWait(1500);
        QVERIFY(!popoverOnXWayland());
    }
};

QTEST_GUILESS_MAIN(SwayTest)
#include "tst_sway.moc"
