// Conversion of the bot's web link into a Telegram application link.

#include "TelegramAppUrl.h"

#include <QTest>
#include <QUrlQuery>

class TestTelegramAppUrl : public QObject {
    Q_OBJECT

private slots:
    void conversion_data();
    void conversion();
    void startValueSurvivesEncoding_data();
    void startValueSurvivesEncoding();
};

void TestTelegramAppUrl::conversion_data() {
    QTest::addColumn<QString>("botUrl");
    QTest::addColumn<QString>("expected"); // empty: no Telegram link

    QTest::newRow("query with start") << "https://t.me/ExampleBot?start=abc&x=1"
                                      << "tg://resolve?domain=ExampleBot&start=abc";
    QTest::newRow("no query") << "https://t.me/ExampleBot"
                              << "tg://resolve?domain=ExampleBot";
    QTest::newRow("start without value first") << "https://t.me/ExampleBot?start&start=abc"
                                               << "tg://resolve?domain=ExampleBot";
    QTest::newRow("empty start first is a value") << "https://t.me/ExampleBot?start=&start=abc"
                                                  << "tg://resolve?domain=ExampleBot&start=";
    QTest::newRow("start after other items") << "https://t.me/ExampleBot?x=1&start=abc"
                                             << "tg://resolve?domain=ExampleBot&start=abc";
    QTest::newRow("second start ignored") << "https://t.me/ExampleBot?start=a&start=b"
                                          << "tg://resolve?domain=ExampleBot&start=a";
    QTest::newRow("similar names are not start") << "https://t.me/ExampleBot?startapp=abc&START=x"
                                                 << "tg://resolve?domain=ExampleBot";
    QTest::newRow("value holding =") << "https://t.me/ExampleBot?start=a=b"
                                     << "tg://resolve?domain=ExampleBot&start=a%3Db";
    QTest::newRow("further segments and fragment dropped")
        << "https://t.me/ExampleBot/extra/more?start=abc#top"
        << "tg://resolve?domain=ExampleBot&start=abc";
    QTest::newRow("trailing slash") << "https://t.me/ExampleBot/"
                                    << "tg://resolve?domain=ExampleBot";
    QTest::newRow("doubled slash") << "https://t.me//ExampleBot"
                                   << "tg://resolve?domain=ExampleBot";
    QTest::newRow("plain http") << "http://t.me/ExampleBot"
                                << "tg://resolve?domain=ExampleBot";
    QTest::newRow("with port") << "https://t.me:443/ExampleBot"
                               << "tg://resolve?domain=ExampleBot";
    QTest::newRow("encoded bot name") << "https://t.me/Example%20Bot"
                                      << "tg://resolve?domain=Example%20Bot";

    QTest::newRow("only slash") << "https://t.me/"
                                << "";
    QTest::newRow("no path") << "https://t.me"
                             << "";
    QTest::newRow("only slashes") << "https://t.me///"
                                  << "";
    QTest::newRow("other host") << "https://example.com/ExampleBot"
                                << "";
    QTest::newRow("longer name of the service") << "https://telegram.me/ExampleBot"
                                                << "";
    QTest::newRow("subdomain") << "https://www.t.me/ExampleBot"
                               << "";
    QTest::newRow("host written in capitals") << "https://T.ME/ExampleBot"
                                              << "";
    QTest::newRow("host with trailing dot") << "https://t.me./ExampleBot"
                                            << "";
    QTest::newRow("t.me as user name") << "https://t.me@evil.example/ExampleBot"
                                       << "";
    QTest::newRow("host-less text") << "t.me/ExampleBot"
                                    << "";
    QTest::newRow("not a URL") << "not a url"
                               << "";
    QTest::newRow("empty") << ""
                           << "";
}

void TestTelegramAppUrl::conversion() {
    QFETCH(QString, botUrl);
    QFETCH(QString, expected);

    const std::optional<QUrl> result = telegramAppURL(botUrl);
    if (expected.isEmpty()) {
        QVERIFY2(!result, qPrintable(result ? result->toString() : QString()));
        return;
    }
    QVERIFY(result);
    QCOMPARE(result->scheme(), QStringLiteral("tg"));
    QCOMPARE(result->host(), QStringLiteral("resolve"));
    QCOMPARE(result->toString(QUrl::FullyEncoded), expected);
}

void TestTelegramAppUrl::startValueSurvivesEncoding_data() {
    QTest::addColumn<QString>("value");

    QTest::newRow("plain") << "abc_123-XYZ";
    QTest::newRow("space") << "a b";
    QTest::newRow("delimiters") << "a&b=c";
    QTest::newRow("lone percent") << "50%";
    QTest::newRow("percent escape text") << "%26";
    QTest::newRow("hash") << "#frag";
    QTest::newRow("plus") << "a+b";
    QTest::newRow("cyrillic") << "привет";
}

// Whatever the bot link carries in "start" reaches Telegram as the same text.
void TestTelegramAppUrl::startValueSurvivesEncoding() {
    QFETCH(QString, value);

    const QString botUrl = QStringLiteral("https://t.me/ExampleBot?start=") +
                           QString::fromLatin1(QUrl::toPercentEncoding(value));
    const std::optional<QUrl> result = telegramAppURL(botUrl);
    QVERIFY(result);
    const QUrlQuery query(*result);
    QVERIFY(query.hasQueryItem(QStringLiteral("start")));
    QCOMPARE(query.queryItemValue(QStringLiteral("start"), QUrl::FullyDecoded), value);
    QCOMPARE(query.queryItemValue(QStringLiteral("domain"), QUrl::FullyDecoded),
             QStringLiteral("ExampleBot"));
}

QTEST_GUILESS_MAIN(TestTelegramAppUrl)
#include "tst_telegramappurl.moc"
