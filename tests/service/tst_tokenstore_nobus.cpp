// With no Secret Service reachable the token store quietly keeps nothing and never falls back to
// writing the token anywhere else.

#include "AuthBridge.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

class TokenStoreWithoutServiceTest : public QObject {
    Q_OBJECT

private slots:
    void everyOperationQuietlyDoesNothing() {
        // Before the first libsecret call: a bus address that leads nowhere, and a private
        // HOME where any fallback file would show up.
        const QTemporaryDir home;
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.filePath("no-bus").toLocal8Bit());
        for (const char *name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
            qputenv(name, home.path().toLocal8Bit());
        qunsetenv("DISPLAY");

        QElapsedTimer timer;
        timer.start();
        AuthBridge::saveToken(QStringLiteral("plain-text-canary-51d2"));
        QCOMPARE(AuthBridge::loadToken(), std::nullopt);
        AuthBridge::deleteToken();
        QVERIFY(timer.elapsed() < 10000);
        QDirIterator it(home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        QCOMPARE(it.hasNext() ? it.next() : QString(), QString());
    }
};

QTEST_GUILESS_MAIN(TokenStoreWithoutServiceTest)
#include "tst_tokenstore_nobus.moc"
