// With no Secret Service reachable the token store reports nothing, keeps nothing, and never
// falls back to writing the token anywhere else.

#include "AuthBridge.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>

class TokenStoreWithoutServiceTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        QVERIFY(m_home.isValid());
        // Before the first libsecret call: a bus address that leads nowhere, and a private
        // HOME where any fallback file would show up.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_home.filePath("no-bus").toLocal8Bit());
        qputenv("HOME", m_home.path().toLocal8Bit());
        qputenv("XDG_DATA_HOME", m_home.filePath("data").toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", m_home.filePath("config").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", m_home.filePath("cache").toLocal8Bit());
        qunsetenv("DISPLAY");
    }

    void everyOperationQuietlyDoesNothing() {
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(AuthBridge::loadToken(), std::nullopt);
        AuthBridge::saveToken(QStringLiteral("plain-text-canary-51d2"));
        QCOMPARE(AuthBridge::loadToken(), std::nullopt);
        AuthBridge::deleteToken();
        QVERIFY(timer.elapsed() < 10000);

        QDirIterator it(m_home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        QStringList files;
        while (it.hasNext())
            files.append(it.next());
        QCOMPARE(files, QStringList());
    }

private:
    QTemporaryDir m_home;
};

QTEST_GUILESS_MAIN(TokenStoreWithoutServiceTest)
#include "tst_tokenstore_nobus.moc"
