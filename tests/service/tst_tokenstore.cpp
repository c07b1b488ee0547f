// The token store against a real Secret Service (gnome-keyring in a private D-Bus session,
// started by the test's wrapper).

#include "AuthBridge.h"

#include <QDirIterator>
#include <QFile>
#include <QTest>

namespace {
const QString devOrigin = QStringLiteral("http://127.0.0.1:8765");
}

class TokenStoreTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // Never touch a developer's real keyring.
        QVERIFY2(qEnvironmentVariable("HOME").contains(QStringLiteral("tolvex-keyring.")),
                 "run through with-keyring.sh");
    }

    void init() {
        AuthBridge::deleteToken();
        AuthBridge::deleteToken(devOrigin);
    }

    void roundTrip_data() {
        QTest::addColumn<QString>("token");
        QTest::newRow("ascii") << QStringLiteral("eyJhbGciOiJIUzI1NiJ9.payload.sig");
        QTest::newRow("cyrillic and emoji") << QStringLiteral("токен-🔑-Ё");
        QTest::newRow("embedded nul") << QStringLiteral("a%1b").arg(QChar(0));
        QTest::newRow("empty is a value, not nothing") << QString();
    }
    void roundTrip() {
        QFETCH(QString, token);
        AuthBridge::saveToken(QStringLiteral("older"));
        AuthBridge::saveToken(token);
        QCOMPARE(AuthBridge::loadToken(), std::optional<QString>(token));
        AuthBridge::deleteToken();
        QCOMPARE(AuthBridge::loadToken(), std::nullopt);
    }

    // A development build pointed at a local service must never read, send or remove the
    // released service's token, nor the other way round.
    void eachOriginSeesOnlyItsOwnToken() {
        AuthBridge::saveToken(QStringLiteral("released"));
        QCOMPARE(AuthBridge::loadToken(devOrigin), std::nullopt);
        AuthBridge::saveToken(QStringLiteral("dev"), devOrigin);
        QCOMPARE(AuthBridge::loadToken(), std::optional<QString>(QStringLiteral("released")));
        QCOMPARE(AuthBridge::loadToken(devOrigin), std::optional<QString>(QStringLiteral("dev")));
        QCOMPARE(AuthBridge::loadToken(QStringLiteral("http://127.0.0.1:9999")), std::nullopt);

        AuthBridge::deleteToken(devOrigin);
        QCOMPARE(AuthBridge::loadToken(), std::optional<QString>(QStringLiteral("released")));
        AuthBridge::saveToken(QStringLiteral("dev again"), devOrigin);
        AuthBridge::deleteToken();
        QCOMPARE(AuthBridge::loadToken(devOrigin),
                 std::optional<QString>(QStringLiteral("dev again")));
    }

    void tokenNeverReachesTheDiskInPlainText() {
        const QByteArray token = "plain-text-canary-7f3a9c";
        AuthBridge::saveToken(QString::fromLatin1(token));
        QDirIterator it(qEnvironmentVariable("HOME"), QDir::Files | QDir::Hidden,
                        QDirIterator::Subdirectories);
        int files = 0;
        while (it.hasNext()) {
            QFile file(it.next());
            if (!file.open(QIODevice::ReadOnly))
                continue;
            ++files;
            QVERIFY2(!file.readAll().contains(token), qPrintable(file.fileName()));
        }
        QVERIFY(files > 0); // the keyring file itself is there, encrypted
    }
};

QTEST_GUILESS_MAIN(TokenStoreTest)
#include "tst_tokenstore.moc"
