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
    void choose_data() {
        QTest::addColumn<bool>("overridesAllowed");
        QTest::addColumn<QString>("overrideText"); // null: no override
        QTest::addColumn<QString>("expected");

        const QString loopback = QStringLiteral("http://127.0.0.1:8080/api");
        QTest::newRow("no override") << true << QString() << builtIn;
        QTest::newRow("ipv4 loopback") << true << loopback << loopback;
        QTest::newRow("overrides off") << false << loopback << builtIn;
        QTest::newRow("remote host") << true << "http://example.com/api" << builtIn;
        QTest::newRow("other scheme") << true << "ftp://127.0.0.1/api" << builtIn;
        QTest::newRow("not a URL") << true << "http://127.0.0.1:9/a pi" << builtIn;
    }

    void choose() {
        QFETCH(bool, overridesAllowed);
        QFETCH(QString, overrideText);
        QFETCH(QString, expected);

        const auto given = overrideText.isNull() ? std::nullopt : std::optional(overrideText);
        QCOMPARE(ApiBaseUrl::choose(builtIn, overridesAllowed, given), expected);
    }

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
    }
};

QTEST_GUILESS_MAIN(TestApiBaseUrl)
#include "tst_apibaseurl.moc"
