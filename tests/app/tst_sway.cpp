// The real program on a wlroots Wayland desktop (headless sway with XWayland, started by
// with-desktop.sh --desktop sway) with waybar's tray, a StatusNotifier host, driven by clicks
// of a virtual pointer and read through sway's own view of its windows and screenshots.

#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <optional>

namespace {

constexpr int screenWidth = 1280, screenHeight = 800, barHeight = 30;

QByteArray run(const QString &program, const QStringList &arguments) {
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(10000);
    return process.readAllStandardOutput();
}

// The program's popover as sway sees it: visible, and where.
struct Window {
    QRect rect;
    bool floating = false;
};
std::optional<Window> popover() {
    std::optional<Window> found;
    const std::function<void(const QJsonObject &, bool)> walk = [&](const QJsonObject &node,
                                                                    bool floating) {
        // The popover is the program's 300 px wide window; the no-tray window has the same name.
        if (node.value("name").toString() == QStringLiteral("Толвекс") &&
            node.value("visible").toBool() &&
            node.value("rect").toObject().value("width").toInt() == 300) {
            const QJsonObject r = node.value("rect").toObject();
            found =
                Window{{r["x"].toInt(), r["y"].toInt(), r["width"].toInt(), r["height"].toInt()},
                       floating || node.value("type").toString() == "floating_con"};
        }
        for (const QJsonValue &child : node.value("nodes").toArray())
            walk(child.toObject(), floating);
        for (const QJsonValue &child : node.value("floating_nodes").toArray())
            walk(child.toObject(), true);
    };
    walk(QJsonDocument::fromJson(run("swaymsg", {"-r", "-t", "get_tree"})).object(), false);
    return found;
}

QImage screenshot(const QString &name = {}) {
    const QString path = QDir(qEnvironmentVariable("TMPDIR", "/tmp"))
                             .filePath(name.isEmpty() ? QStringLiteral("sway-now.png") : name);
    run("grim", {path});
    return QImage(path);
}

// The tray item's middle: where the bar's pixels differ from its background, at the right.
std::optional<QPoint> trayIcon() {
    const QImage shot = screenshot();
    if (shot.isNull())
        return std::nullopt;
    const QRgb background = shot.pixel(5, 5);
    QRect found;
    for (int y = 2; y < barHeight - 4; ++y) {
        for (int x = screenWidth / 2; x < screenWidth; ++x) {
            if (shot.pixel(x, y) != background)
                found |= QRect(x, y, 1, 1);
        }
    }
    return found.isEmpty() ? std::nullopt : std::optional(found.center());
}

// The distance from a point to a rectangle's nearest edge (0 inside).
int distance(const QPoint &point, const QRect &rect) {
    const int dx = std::max({rect.left() - point.x(), 0, point.x() - rect.right()});
    const int dy = std::max({rect.top() - point.y(), 0, point.y() - rect.bottom()});
    return std::max(dx, dy);
}

} // namespace

class SwayTest : public QObject {
    Q_OBJECT

public:
    ~SwayTest() override {
        for (QProcess *process : {&m_program, &m_bar, &m_pointer}) {
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

    QProcess m_program, m_bar, m_pointer;

private slots:
    // The program starts before the panel, as at login: the icon comes once the tray host
    // does. A click on it opens the popover next to it, floating; Escape, a click outside and
    // a second click on the icon close it; a right click shows no popover.
    void trayIconAndPopover() {
        m_pointer.start(qEnvironmentVariable("TOLVEX_VIRTUAL_POINTER"), {});
        QVERIFY(m_pointer.waitForReadyRead(5000) && m_pointer.readLine().trimmed() == "ok");
        m_program.setProcessChannelMode(QProcess::ForwardedChannels);
        m_program.start(QStringLiteral(TOLVEX_PROGRAM), {});
        QVERIFY(m_program.waitForStarted());
        QTest::qWait(3000);
        m_bar.start(QStringLiteral("waybar"), {"-c", qEnvironmentVariable("TOLVEX_WAYBAR_CONFIG")});
        QTest::qWait(1000); // the bar itself takes a moment to show
        std::optional<QPoint> icon;
        QTRY_VERIFY_WITH_TIMEOUT((icon = trayIcon()).has_value(), 2000);
        QVERIFY(!popover());

        QVERIFY(click(*icon));
        std::optional<Window> window;
        QTRY_VERIFY_WITH_TIMEOUT((window = popover()).has_value(), 3000);
        screenshot(QStringLiteral("sway-popover.png")); // kept with the test's files
        QVERIFY2(distance(*icon, window->rect) <= 48,
                 qPrintable(QStringLiteral("icon at %1,%2, popover at %3,%4")
                                .arg(icon->x())
                                .arg(icon->y())
                                .arg(window->rect.x())
                                .arg(window->rect.y())));
        QVERIFY(QRect(0, 0, screenWidth, screenHeight).contains(window->rect));
        QVERIFY(window->floating);

        // Escape with the pointer away from the popover.
        QVERIFY(moveTo({200, 700}));
        run("xdotool", {"key", "Escape"});
        QTRY_VERIFY_WITH_TIMEOUT(!popover(), 2000);
        QVERIFY(click(*icon));
        QTRY_VERIFY_WITH_TIMEOUT(popover(), 3000);
        QVERIFY(click({640, 600}));
        QTRY_VERIFY_WITH_TIMEOUT(!popover(), 2000);
        QVERIFY(click(*icon));
        QTRY_VERIFY_WITH_TIMEOUT(popover(), 3000);
        QTest::qWait(500);
        QVERIFY(click(*icon));
        QTRY_VERIFY_WITH_TIMEOUT(!popover(), 2000);
        QVERIFY(click(*icon, 273));
        QTest::qWait(1500);
        QVERIFY(!popover());
    }
};

QTEST_GUILESS_MAIN(SwayTest)
#include "tst_sway.moc"
