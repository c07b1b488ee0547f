// Which service address the program uses, and when a loopback override may replace it.

#include "ApiBaseUrl.h"

#include <QTest>

class TestApiBaseUrl : public QObject {
    Q_OBJECT

private slots:
    void choose_data();
    void choose();
    void fromBuildFollowsTheBuildOption();
};

namespace {
const QString builtIn = QStringLiteral("https://tolvex.ru/api");
}

void TestApiBaseUrl::choose_data() {
    QTest::addColumn<bool>("overridesAllowed");
    QTest::addColumn<bool>("hasOverride");
    QTest::addColumn<QString>("overrideText");
    QTest::addColumn<QString>("expected");

    const QString loopback = QStringLiteral("http://127.0.0.1:8080/api");
    QTest::newRow("no override") << true << false << "" << builtIn;
    QTest::newRow("ipv4 loopback") << true << true << loopback << loopback;
    QTest::newRow("other 127 address") << true << true << "http://127.0.0.2:9/api"
                                       << "http://127.0.0.2:9/api";
    QTest::newRow("localhost") << true << true << "http://localhost:9/api"
                               << "http://localhost:9/api";
    QTest::newRow("ipv6 loopback") << true << true << "http://[::1]:9/api"
                                   << "http://[::1]:9/api";
    QTest::newRow("https loopback") << true << true << "https://127.0.0.1:9/api"
                                    << "https://127.0.0.1:9/api";
    QTest::newRow("overrides off") << false << true << loopback << builtIn;
    QTest::newRow("remote host") << true << true << "http://example.com/api" << builtIn;
    QTest::newRow("remote https host") << true << true << "https://evil.example/api" << builtIn;
    QTest::newRow("localhost prefix")
        << true << true << "http://localhost.evil.example/api" << builtIn;
    QTest::newRow("loopback as user name")
        << true << true << "http://127.0.0.1@evil.example/api" << builtIn;
    QTest::newRow("any address") << true << true << "http://0.0.0.0:9/api" << builtIn;
    QTest::newRow("other scheme") << true << true << "ftp://127.0.0.1/api" << builtIn;
    QTest::newRow("no scheme") << true << true << "127.0.0.1:9/api" << builtIn;
    QTest::newRow("empty") << true << true << "" << builtIn;
    QTest::newRow("not a URL") << true << true << "http://127.0.0.1:9/a pi" << builtIn;
}

void TestApiBaseUrl::choose() {
    QFETCH(bool, overridesAllowed);
    QFETCH(bool, hasOverride);
    QFETCH(QString, overrideText);
    QFETCH(QString, expected);

    const std::optional<QString> given =
        hasOverride ? std::optional<QString>(overrideText) : std::nullopt;
    QCOMPARE(ApiBaseUrl::choose(builtIn, overridesAllowed, given), expected);
}

void TestApiBaseUrl::fromBuildFollowsTheBuildOption() {
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

QTEST_GUILESS_MAIN(TestApiBaseUrl)
#include "tst_apibaseurl.moc"
