// Decoding of the four answer records: a record is only ever built from an answer that has every
// required key with exactly the right type, and a failure names the key but never the content.

#include "DecodingError.h"
#include "WireRecords.h"

#include <QTest>

namespace {

enum class Record { profile, appLogin, poll, meeting };

// "ok:<fields>" or "<kind>:<key>", so that each table row states its outcome in one cell.
QString outcome(Record record, const QByteArray &body) {
    try {
        switch (record) {
        case Record::profile: {
            const UserProfileVM p = UserProfileVM::decode(body);
            return QStringLiteral("ok:%1|%2").arg(p.id).arg(p.telegramUsername.value_or("<none>"));
        }
        case Record::appLogin: {
            const AppLoginResponse r = AppLoginResponse::decode(body);
            return QStringLiteral("ok:%1|%2|%3").arg(r.nonce, r.botUrl).arg(r.expiresInSeconds);
        }
        case Record::poll: {
            const AuthBridge::PollResponse r = AuthBridge::PollResponse::decode(body);
            return QStringLiteral("ok:%1|%2").arg(r.status, r.token.value_or("<none>"));
        }
        case Record::meeting: {
            const MeetingCreateResult r = MeetingCreateResult::decode(body);
            return QStringLiteral("ok:%1|%2").arg(r.id).arg(r.status);
        }
        }
    } catch (const DecodingError &e) {
        static const char *const kinds[] = {"corrupted", "keyNotFound", "valueNotFound",
                                            "typeMismatch"};
        // The error text reaches the log and the screen: it may name the key, never the value.
        const bool echoes = QByteArray(e.what()).contains("secret") ||
                            e.localizedDescription().contains(QStringLiteral("secret"));
        return QLatin1String(kinds[static_cast<int>(e.kind())]) + QLatin1Char(':') +
               QString::fromStdString(e.key()) + (echoes ? "<echoes the answer>" : "");
    }
    return {};
}

} // namespace

class WireRecordsTest : public QObject {
    Q_OBJECT

private slots:
    void decode_data() {
        QTest::addColumn<Record>("record");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, Record record, const char *body,
                            const char *expected) {
            QTest::newRow(name) << record << QByteArray(body) << QString::fromUtf8(expected);
        };
        row("profile", Record::profile, R"({"user_id":12,"first_name":"Иван","x":[{}]})",
            "ok:12|Иван");
        row("largest id", Record::profile, R"({"user_id":9223372036854775807})",
            "ok:9223372036854775807|<none>");
        row("id missing", Record::profile, R"({"first_name":"a"})", "keyNotFound:user_id");
        row("id null", Record::profile, R"({"user_id":null})", "valueNotFound:user_id");
        row("token in the wrong place", Record::profile, R"({"user_id":"secret-token"})",
            "typeMismatch:user_id");
        row("id with fraction", Record::profile, R"({"user_id":1.5})", "typeMismatch:user_id");
        row("id one past int64", Record::profile, R"({"user_id":9223372036854775808})",
            "typeMismatch:user_id");
        row("name as number", Record::profile, R"({"user_id":1,"first_name":5})",
            "typeMismatch:first_name");
        row("not JSON", Record::profile, "<html>502</html>", "corrupted:");
        row("array at top", Record::profile, R"([{"user_id":1}])", "corrupted:");
        row("invalid UTF-8", Record::profile, "{\"user_id\":1,\"first_name\":\"\xff\"}",
            "corrupted:");

        row("app login", Record::appLogin,
            R"({"nonce":"n-1","bot_url":"https://t.me/b?start=n-1","expires_in_seconds":600})",
            "ok:n-1|https://t.me/b?start=n-1|600");
        row("camel case key is not the key", Record::appLogin,
            R"({"nonce":"n","botUrl":"u","expires_in_seconds":1})", "keyNotFound:bot_url");

        row("poll pending", Record::poll, R"({"status":"pending"})", "ok:pending|<none>");
        row("poll token as number", Record::poll, R"({"status":"ok","token":1})",
            "typeMismatch:token");

        row("meeting", Record::meeting, R"({"id":42,"status":"whatever"})", "ok:42|whatever");
    }
    void decode() {
        QFETCH(Record, record);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        QCOMPARE(outcome(record, body), expected);
    }
};

QTEST_GUILESS_MAIN(WireRecordsTest)
#include "tst_wirerecords.moc"
