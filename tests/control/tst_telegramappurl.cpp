// Conversion of the bot's web link into a Telegram application link.

#include "TelegramAppUrl.h"

#include <QTest>
#include <QUrlQuery>

class TestTelegramAppUrl : public QObject {
    Q_OBJECT

private slots:
    void conversion_data() {
        QTest::addColumn<QString>("botUrl");
        QTest::addColumn<QString>("expected"); // null: no Telegram link

        QTest::newRow("query with start") << "https://t.me/ExampleBot?start=abc&x=1"
                                          << "tg://resolve?domain=ExampleBot&start=abc";
        QTest::newRow("no query") << "https://t.me/ExampleBot"
                                  << "tg://resolve?domain=ExampleBot";
        QTest::newRow("start without value first") << "https://t.me/ExampleBot?start&start=abc"
                                                   << "tg://resolve?domain=ExampleBot";
        QTest::newRow("empty start first is a value") << "https://t.me/ExampleBot?start=&start=abc"
                                                      << "tg://resolve?domain=ExampleBot&start=";
        QTest::newRow("second start ignored") << "https://t.me/ExampleBot?start=a&start=b"
                                              << "tg://resolve?domain=ExampleBot&start=a";
        QTest::newRow("further segments and fragment dropped")
            << "https://t.me/ExampleBot/extra/more?start=abc#top"
            << "tg://resolve?domain=ExampleBot&start=abc";
        QTest::newRow("plain http") << "http://t.me/ExampleBot"
                                    << "tg://resolve?domain=ExampleBot";

        QTest::newRow("only slash") << "https://t.me/" << QString();
        QTest::newRow("other host") << "https://example.com/ExampleBot" << QString();
        QTest::newRow("host written in capitals") << "https://T.ME/ExampleBot" << QString();
        QTest::newRow("t.me as user name") << "https://t.me@evil.example/ExampleBot" << QString();
        QTest::newRow("not a URL") << "not a url" << QString();
    }

    void conversion() {
        QFETCH(QString, botUrl);
        QFETCH(QString, expected);

        const std::optional<QUrl> result = telegramAppURL(botUrl);
        if (expected.isNull()) {
            QVERIFY2(!result, qPrintable(result ? result->toString() : QString()));
            return;
        }
        QVERIFY(result);
        QCOMPARE(result->toString(QUrl::FullyEncoded), expected);
    }

    void startValueSurvivesEncoding_data() {
        QTest::addColumn<QString>("value");

        QTest::newRow("plain") << "abc_123-XYZ";
        QTest::newRow("delimiters") << "a&b=c";
        QTest::newRow("percent escape text") << "%26";
        QTest::newRow("cyrillic") << "привет";
    }

    // Whatever the bot link carries in "start" reaches Telegram as the same text.
    void startValueSurvivesEncoding() {
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
};

QTEST_GUILESS_MAIN(TestTelegramAppUrl)
#include "tst_telegramappurl.moc"
