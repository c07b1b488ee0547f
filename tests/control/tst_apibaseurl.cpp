// Which service address the program uses, and when a loopback override may replace it.

#include "ApiBaseUrl.h"
#include "LoopbackHost.h"
#include "RequestUrl.h"
#include "URLError.h"

#include <QTest>

namespace {
const QString builtIn = QStringLiteral("https://tolvex.ru/api");
}

class TestApiBaseUrl : public QObject {
    Q_OBJECT

private slots:
    // The request builder, the override and the build's address check must never disagree on
    // which plain-http addresses may carry the token.
    void oneLoopbackRuleEverywhere_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("loopback");

        QTest::newRow("ipv4") << "http://127.0.0.1:8080/api" << true;
        QTest::newRow("rest of 127/8") << "http://127.255.0.254/api" << true;
        QTest::newRow("localhost any case") << "http://LocalHost:9/api" << true;
        QTest::newRow("ipv6") << "http://[::1]:9/api" << true;
        QTest::newRow("128/8") << "http://128.0.0.1/api" << false;
        QTest::newRow("loopback-looking name") << "http://127.0.0.1.evil.example/api" << false;
        QTest::newRow("localhost prefix") << "http://localhost.evil.example/api" << false;
        QTest::newRow("loopback as user name") << "http://127.0.0.1@evil.example/api" << false;
        QTest::newRow("mapped ipv4") << "http://[::ffff:127.0.0.1]/api" << false;
        // Spellings a parser would turn into a loopback address: refused as written.
        QTest::newRow("short ipv4") << "http://127.1/api" << false;
        QTest::newRow("ipv4 as one number") << "http://2130706433/api" << false;
        QTest::newRow("long ipv6") << "http://[0:0:0:0:0:0:0:1]/api" << false;
        QTest::newRow("remote") << "http://example.com/api" << false;
    }

    void oneLoopbackRuleEverywhere() {
        QFETCH(QString, url);
        QFETCH(bool, loopback);

        bool requestAllowed = true;
        try {
            AuthBridge::requestUrl(url + QStringLiteral("/auth/me"));
        } catch (const URLError &) {
            requestAllowed = false;
        }
        QCOMPARE(requestAllowed, loopback);
        QCOMPARE(ApiBaseUrl::isLoopbackUrl(url), loopback);
        QCOMPARE(LoopbackHost::isAllowedServiceUrl(url.toStdString()), loopback);
    }

    // Only builds that allow it take a loopback override; a remote one never.
    void fromBuildFollowsTheBuildOption() {
        const QString builtInOfThisBuild = QStringLiteral(TOLVEX_TEST_BUILT_IN_URL);
        const bool overridesOn = TOLVEX_TEST_DEV_OVERRIDES;

        qunsetenv("TOLVEX_API_BASE_URL");
        QCOMPARE(ApiBaseUrl::fromBuild(), builtInOfThisBuild);

        qputenv("TOLVEX_API_BASE_URL", "http://127.0.0.1:4321/api");
        QCOMPARE(ApiBaseUrl::fromBuild(),
                 overridesOn ? QStringLiteral("http://127.0.0.1:4321/api") : builtInOfThisBuild);

        qputenv("TOLVEX_API_BASE_URL", "https://elsewhere.example/api");
        QCOMPARE(ApiBaseUrl::fromBuild(), builtInOfThisBuild);
        qunsetenv("TOLVEX_API_BASE_URL");
        // What a released build does with a loopback override, whichever build this is.
        QCOMPARE(ApiBaseUrl::choose(builtIn, false, QStringLiteral("http://127.0.0.1:1/api")),
                 builtIn);
    }
};

QTEST_GUILESS_MAIN(TestApiBaseUrl)
#include "tst_apibaseurl.moc"
