// The real program on GNOME Shell with the AppIndicator extension (headless, Wayland, started by
// with-desktop.sh --desktop gnome): its icon takes its place in the top bar and stays there.
// Screenshots come through the Shell's own API.

#include "DesktopProbe.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDir>

namespace {

constexpr int topBar = 32;

QImage screenshot(const QString &name = QStringLiteral("gnome-now.png")) {
    const QString path = QDir(qEnvironmentVariable("TMPDIR", "/tmp")).filePath(name);
    QDBusInterface shell(QStringLiteral("org.gnome.Shell.Screenshot"),
                         QStringLiteral("/org/gnome/Shell/Screenshot"),
                         QStringLiteral("org.gnome.Shell.Screenshot"));
    const QDBusMessage answer = shell.call(QStringLiteral("Screenshot"), false, false, path);
    return answer.type() == QDBusMessage::ReplyMessage ? QImage(path) : QImage();
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
    QProcess m_program;

private slots:
    // Started with the Shell, as at login. The extension drops an item it cannot read (a
    // property missing, no icon when it first looks): the icon then shows for a moment at most.
    void iconStaysInTheTopBar() {
        // The Shell lets only a few names take screenshots, the screenshot tool's among them.
        QVERIFY(
            QDBusConnection::sessionBus().registerService(QStringLiteral("org.gnome.Screenshot")));
        const QImage empty = screenshot();
        QVERIFY(!empty.isNull());
        m_program.setProcessChannelMode(QProcess::ForwardedChannels);
        m_program.start(QStringLiteral(TOLVEX_PROGRAM), {});
        QVERIFY(m_program.waitForStarted());
        // Among the top bar's icons, left of the system menu.
        const QRect indicators(760, 2, 440, topBar - 4);
        QVERIFY(
            waitFor([&] { return !changed(empty, screenshot(), indicators).isEmpty(); }, 10000));
        QTest::qWait(4000);
        QVERIFY(
            !changed(empty, screenshot(QStringLiteral("gnome-tray.png")), indicators).isEmpty());
    }
};

QTEST_GUILESS_MAIN(GnomeTest)
#include "tst_gnome.moc"
