// Which service address the program uses, and when a loopback override may replace it.

#include "ApiBaseUrl.h"

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
        QTest::newRow("localhost") << true << "http://localhost:9/api"
                                   << "http://localhost:9/api";
        QTest::newRow("ipv6 loopback") << true << "http://[::1]:9/api"
                                       << "http://[::1]:9/api";
        QTest::newRow("overrides off") << false << loopback << builtIn;
        QTest::newRow("remote host") << true << "http://example.com/api" << builtIn;
        QTest::newRow("localhost prefix") << true << "http://localhost.evil.example/api" << builtIn;
        QTest::newRow("loopback as user name")
            << true << "http://127.0.0.1@evil.example/api" << builtIn;
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
