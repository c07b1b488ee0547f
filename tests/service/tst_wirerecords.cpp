// Decoding of the four answer records: exact typing, required and optional keys, and failures
// that name the key and the problem.

#include "DecodingError.h"
#include "WireRecords.h"

#include <QTest>

#include <functional>

namespace {

// "ok" or "<kind>:<key>", so that each table row states its expected outcome in one cell.
template <typename Record>
QString outcome(const QByteArray &body, std::function<QString(const Record &)> show) {
    try {
        return QStringLiteral("ok:") + show(Record::decode(body));
    } catch (const DecodingError &e) {
        static const char *const kinds[] = {"corrupted", "keyNotFound", "valueNotFound",
                                            "typeMismatch"};
        const QString kind = QLatin1String(kinds[static_cast<int>(e.kind())]);
        return kind + QLatin1Char(':') + QString::fromStdString(e.key());
    }
}

QString showProfile(const UserProfileVM &p) {
    return QString::number(p.id) + QLatin1Char('|') +
           p.telegramUsername.value_or(QStringLiteral("<none>"));
}

QString showAppLogin(const AppLoginResponse &r) {
    return r.nonce + QLatin1Char('|') + r.botUrl + QLatin1Char('|') +
           QString::number(r.expiresInSeconds);
}

QString showPoll(const AuthBridge::PollResponse &r) {
    return r.status + QLatin1Char('|') + r.token.value_or(QStringLiteral("<none>"));
}

QString showMeeting(const MeetingCreateResult &r) {
    return QString::number(r.id) + QLatin1Char('|') + r.status;
}

} // namespace

class WireRecordsTest : public QObject {
    Q_OBJECT

private slots:
    void profile_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("both keys")
            << QByteArray(R"({"user_id":12,"first_name":"Иван"})") << "ok:12|Иван";
        QTest::newRow("name missing") << QByteArray(R"({"user_id":12})") << "ok:12|<none>";
        QTest::newRow("name null")
            << QByteArray(R"({"user_id":12,"first_name":null})") << "ok:12|<none>";
        QTest::newRow("empty name is a name")
            << QByteArray(R"({"user_id":12,"first_name":""})") << "ok:12|";
        QTest::newRow("unknown keys ignored")
            << QByteArray(R"({"x":[1,{"y":null}],"user_id":1,"telegram_username":5})")
            << "ok:1|<none>";
        QTest::newRow("largest id")
            << QByteArray(R"({"user_id":9223372036854775807})") << "ok:9223372036854775807|<none>";

        QTest::newRow("id missing") << QByteArray(R"({"first_name":"a"})") << "keyNotFound:user_id";
        QTest::newRow("id null") << QByteArray(R"({"user_id":null})") << "valueNotFound:user_id";
        QTest::newRow("id as digit string")
            << QByteArray(R"({"user_id":"42"})") << "typeMismatch:user_id";
        QTest::newRow("id with fraction")
            << QByteArray(R"({"user_id":1.5})") << "typeMismatch:user_id";
        QTest::newRow("id overflowing a double")
            << QByteArray(R"({"user_id":1e400})") << "typeMismatch:user_id";
        QTest::newRow("id one past int64")
            << QByteArray(R"({"user_id":9223372036854775808})") << "typeMismatch:user_id";
        QTest::newRow("name as number")
            << QByteArray(R"({"user_id":1,"first_name":5})") << "typeMismatch:first_name";

        QTest::newRow("not JSON") << QByteArray("<html>502</html>") << "corrupted:";
        QTest::newRow("trailing garbage") << QByteArray(R"({"user_id":1} x)") << "corrupted:";
        QTest::newRow("array at top") << QByteArray(R"([{"user_id":1}])") << "corrupted:";
        QTest::newRow("invalid UTF-8 in a string")
            << QByteArray("{\"user_id\":1,\"first_name\":\"\xff\"}") << "corrupted:";
    }
    void profile() {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QCOMPARE(outcome<UserProfileVM>(body, showProfile), expected);
    }

    void appLogin_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("complete") << QByteArray(
                                         "{\"nonce\":\"n-1\",\"bot_url\":\"https://t.me/"
                                         "tolvex_bot?start=n-1\",\"expires_in_seconds\":600}")
                                  << "ok:n-1|https://t.me/tolvex_bot?start=n-1|600";
        QTest::newRow("lifetime missing")
            << QByteArray(R"({"nonce":"n","bot_url":"u"})") << "keyNotFound:expires_in_seconds";
        QTest::newRow("lifetime as string")
            << QByteArray(R"({"nonce":"n","bot_url":"u","expires_in_seconds":"600"})")
            << "typeMismatch:expires_in_seconds";
        QTest::newRow("nonce null")
            << QByteArray(R"({"nonce":null,"bot_url":"u","expires_in_seconds":1})")
            << "valueNotFound:nonce";
        QTest::newRow("camel case key is not the key")
            << QByteArray(R"({"nonce":"n","botUrl":"u","expires_in_seconds":1})")
            << "keyNotFound:bot_url";
        // Keys are checked in table order, so the first missing one is named.
        QTest::newRow("all missing") << QByteArray("{}") << "keyNotFound:nonce";
    }
    void appLogin() {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QCOMPARE(outcome<AppLoginResponse>(body, showAppLogin), expected);
    }

    void poll_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("ok with token")
            << QByteArray(R"({"status":"ok","token":"abc"})") << "ok:ok|abc";
        QTest::newRow("ok without token") << QByteArray(R"({"status":"ok"})") << "ok:ok|<none>";
        QTest::newRow("pending with token")
            << QByteArray(R"({"status":"pending","token":"abc"})") << "ok:pending|abc";
        QTest::newRow("status missing") << QByteArray(R"({"token":"abc"})") << "keyNotFound:status";
        QTest::newRow("token as number")
            << QByteArray(R"({"status":"ok","token":1})") << "typeMismatch:token";
    }
    void poll() {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QCOMPARE(outcome<AuthBridge::PollResponse>(body, showPoll), expected);
    }

    void meeting_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        QTest::newRow("any status")
            << QByteArray(R"({"id":42,"status":"whatever"})") << "ok:42|whatever";
        QTest::newRow("status missing") << QByteArray(R"({"id":42})") << "keyNotFound:status";
        QTest::newRow("id as float")
            << QByteArray(R"({"id":4.2e1,"status":"s"})") << "typeMismatch:id";
    }
    void meeting() {
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QCOMPARE(outcome<MeetingCreateResult>(body, showMeeting), expected);
    }

    void errorTextNeverEchoesTheAnswer() {
        try {
            UserProfileVM::decode(R"({"user_id":"secret-token-value"})");
            QFAIL("decoded a string as an integer");
        } catch (const DecodingError &e) {
            QVERIFY(!QByteArray(e.what()).contains("secret-token-value"));
            QVERIFY(!e.localizedDescription().contains(QStringLiteral("secret")));
            QVERIFY(QByteArray(e.what()).contains("user_id"));
            QVERIFY(!e.localizedDescription().isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(WireRecordsTest)
#include "tst_wirerecords.moc"
