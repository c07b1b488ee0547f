// The four JSON requests against a real HTTP server on loopback: what goes on the wire, how
// each status is handled, and how transport failures reach the caller.

#include "AuthBridge.h"
#include "DecodingError.h"
#include "FileReadError.h"
#include "ProcessStatus.h"
#include "RequestUrl.h"
#include "TaskOutcome.h"
#include "TestHttpServer.h"
#include "TestHttpsServer.h"
#include "URLError.h"

#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;

namespace {

enum class Op { start, poll, profile, create };

// "ok:<value>", or the failure's kind and detail, so that table rows can name the outcome.
template <typename T, typename Show> QString describe(QCoro::Task<T> task, Show show) {
    const TaskOutcome<T> outcome = runTask(std::move(task));
    if (outcome.succeeded())
        return QStringLiteral("ok:") + show(*outcome.value);
    if (const auto error = outcome.template errorAs<URLError>())
        return QStringLiteral("url:") + QString::fromLatin1(error->what());
    if (const auto error = outcome.template errorAs<DecodingError>())
        return QStringLiteral("decoding:") + QString::fromStdString(error->key());
    return QStringLiteral("another exception");
}

QString outcomeOf(Op op, const QString &baseUrl, const QString &nonce = QStringLiteral("n1")) {
    const QString token = QStringLiteral("tok");
    switch (op) {
    case Op::start:
        return describe(AuthBridge::startAppLogin(baseUrl), [](const AppLoginResponse &r) {
            return QStringLiteral("%1|%2|%3").arg(r.nonce, r.botUrl).arg(r.expiresInSeconds);
        });
    case Op::poll:
        return describe(AuthBridge::pollAppLogin(baseUrl, nonce),
                        [](const std::optional<QString> &t) { return t.value_or("<none>"); });
    case Op::profile:
        return describe(AuthBridge::fetchProfile(baseUrl, token), [](const UserProfileVM &p) {
            return QStringLiteral("%1|%2").arg(p.id).arg(p.telegramUsername.value_or("<none>"));
        });
    case Op::create:
        return describe(AuthBridge::createMeeting(baseUrl, token),
                        [](const MeetingCreateResult &m) {
                            return QStringLiteral("%1|%2").arg(m.id).arg(m.status);
                        });
    }
    return {};
}

// Method, target, the headers this program sets itself (in order; the rest belong to the HTTP
// stack) and the body, one per line.
QByteArray wireOf(const RecordedRequest &request) {
    QByteArray text = request.method + ' ' + request.target + '\n';
    for (const auto &[name, value] : request.headers) {
        if (name == "Authorization" || name == "Content-Type")
            text += name + ": " + value + '\n';
    }
    return text + request.body;
}

qint64 peakResidentBytes() {
    return processStatusBytes("VmHWM");
}

// Resets the peak so that a later reading shows only what happened in between.
void resetPeakResident() {
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

} // namespace

class RequestsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { AuthBridge::setTransferTimeout(60s); }

    void urlIsJoinedAsPlainText_data() {
        QTest::addColumn<QString>("baseSuffix");
        QTest::addColumn<QString>("nonce");
        QTest::addColumn<QByteArray>("target");
        QTest::newRow("plain") << "/api"
                               << "abc-123" << QByteArray("/api/auth/app-login/poll/abc-123");
        QTest::newRow("trailing slash doubles") << "/api/"
                                                << "n" << QByteArray("/api//auth/app-login/poll/n");
        QTest::newRow("slash in nonce adds a segment")
            << "/api"
            << "a/b" << QByteArray("/api/auth/app-login/poll/a/b");
        QTest::newRow("question mark starts a query")
            << "/api"
            << "a?x=1&y" << QByteArray("/api/auth/app-login/poll/a?x=1&y");
        QTest::newRow("escapes kept") << "/api"
                                      << "a%2Fb" << QByteArray("/api/auth/app-login/poll/a%2Fb");
        QTest::newRow("empty nonce") << "/api"
                                     << "" << QByteArray("/api/auth/app-login/poll/");
    }
    void urlIsJoinedAsPlainText() {
        QFETCH(QString, baseSuffix);
        QFETCH(QString, nonce);
        QFETCH(QByteArray, target);
        TestHttpServer server;
        server.enqueue(TestAnswer::json(200, R"({"status":"pending"})"));
        QCOMPARE(outcomeOf(Op::poll, server.origin() + baseSuffix, nonce),
                 QStringLiteral("ok:<none>"));
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests().first().target, target);
    }

    void pathsOfEachEndpoint_data() {
        QTest::addColumn<Op>("op");
        QTest::addColumn<QByteArray>("wire");
        QTest::newRow("start") << Op::start
                               << QByteArray("POST /api/auth/app-login/start\n"
                                             "Content-Type: application/json\n");
        QTest::newRow("poll") << Op::poll << QByteArray("GET /api/auth/app-login/poll/n1\n");
        QTest::newRow("profile") << Op::profile
                                 << QByteArray("GET /api/auth/me\nAuthorization: Bearer tok\n");
        QTest::newRow("create") << Op::create
                                << QByteArray("POST /api/meetings\nAuthorization: Bearer tok\n"
                                              "Content-Type: application/json\n{}");
    }
    void pathsOfEachEndpoint() {
        QFETCH(Op, op);
        QFETCH(QByteArray, wire);
        TestHttpServer server;
        server.enqueue(TestAnswer::json(200, "{}"));
        outcomeOf(op, server.baseUrl());
        QCOMPARE(server.requests().size(), 1);
        const RecordedRequest request = server.requests().first();
        QCOMPARE(wireOf(request), wire);
        QCOMPARE(request.header("Content-Length").value_or("0"),
                 QByteArray::number(request.body.size()));
    }

    void statusAndBodyRules_data() {
        QTest::addColumn<Op>("op");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        const QByteArray profile = R"({"user_id":7,"first_name":"Аня"})";
        QTest::newRow("profile 200") << Op::profile << 200 << profile << "ok:7|Аня";
        QTest::newRow("profile 401 with a valid body")
            << Op::profile << 401 << profile << "url:user authentication required";
        QTest::newRow("profile 500 junk is a decoding error")
            << Op::profile << 500 << QByteArray("oops") << "decoding:";
        QTest::newRow("profile 500 with a profile succeeds")
            << Op::profile << 500 << profile << "ok:7|Аня";

        const QByteArray ok = R"({"status":"ok","token":"T-1"})";
        QTest::newRow("poll ok with token") << Op::poll << 200 << ok << "ok:T-1";
        QTest::newRow("poll ok without token")
            << Op::poll << 200 << QByteArray(R"({"status":"ok"})") << "ok:<none>";
        QTest::newRow("poll OK differs in case")
            << Op::poll << 200 << QByteArray(R"({"status":"OK","token":"T"})") << "ok:<none>";
        QTest::newRow("poll 404") << Op::poll << 404 << ok << "url:resource unavailable";
        QTest::newRow("poll 410") << Op::poll << 410 << ok << "url:resource unavailable";
        QTest::newRow("poll 400 with ok body") << Op::poll << 400 << ok << "ok:T-1";

        const QByteArray start =
            "{\"nonce\":\"N\",\"bot_url\":\"https://t.me/bot?start=N\",\"expires_in_seconds\":300}";
        QTest::newRow("start 200")
            << Op::start << 200 << start << "ok:N|https://t.me/bot?start=N|300";
        QTest::newRow("start 401 with a valid body")
            << Op::start << 401 << start << "ok:N|https://t.me/bot?start=N|300";

        QTest::newRow("create 201")
            << Op::create << 201 << QByteArray(R"({"id":42,"status":"new"})") << "ok:42|new";
        QTest::newRow("create 401 junk is a decoding error")
            << Op::create << 401 << QByteArray("Unauthorized") << "decoding:";
        QTest::newRow("create 500 with a record succeeds")
            << Op::create << 500 << QByteArray(R"({"id":-3,"status":""})") << "ok:-3|";
    }
    void statusAndBodyRules() {
        QFETCH(Op, op);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        TestHttpServer server;
        server.enqueue(TestAnswer::json(status, body));
        QCOMPARE(outcomeOf(op, server.baseUrl()), expected);
        QCOMPARE(server.requests().size(), 1);
    }

    void badUrlSendsNothing_data() {
        QTest::addColumn<Op>("op");
        QTest::newRow("start") << Op::start;
        QTest::newRow("poll") << Op::poll;
        QTest::newRow("profile") << Op::profile;
        QTest::newRow("create") << Op::create;
    }
    // Which plain-http hosts count as loopback is checked in the address tests; here every
    // request refuses each kind of bad address before anything is sent.
    void badUrlSendsNothing() {
        QFETCH(Op, op);
        TestHttpServer server;
        const QString port = QString::number(QUrl(server.origin()).port());
        const QStringList bad{
            server.origin() + QStringLiteral("/a pi"), // valid apart from the space
            QStringLiteral("http://tolvex.ru/api"),    // plain http to a host not loopback
            QStringLiteral("ftp://127.0.0.1:%1/api").arg(port),
            QStringLiteral("/api"),
        };
        for (const QString &base : bad)
            QCOMPARE(outcomeOf(op, base), QStringLiteral("url:bad URL"));
        QTest::qWait(50);
        QCOMPARE(server.connectionCount(), 0);
    }

    void sameOriginRedirectKeepsTheToken() {
        TestHttpServer server;
        // Routed by target: Qt may repeat the first GET on its keep-alive connection.
        const QByteArray moved = server.baseUrl().toUtf8() + "/auth/me2";
        server.setHandler([moved](const RecordedRequest &r) {
            if (r.target == "/api/auth/me")
                return TestAnswer::redirect(302, moved);
            return TestAnswer::json(200, R"({"user_id":5})");
        });
        QCOMPARE(outcomeOf(Op::profile, server.baseUrl()), QStringLiteral("ok:5|<none>"));
        const auto requests = server.requests();
        QCOMPARE(requests.last().target, QByteArray("/api/auth/me2"));
        QCOMPARE(requests.last().header("Authorization"), std::optional<QByteArray>("Bearer tok"));
    }

    void crossOriginRedirectNeverCarriesTheToken_data() {
        QTest::addColumn<Op>("op");
        QTest::addColumn<int>("status");
        QTest::newRow("profile 302") << Op::profile << 302;
        QTest::newRow("profile 307") << Op::profile << 307;
        QTest::newRow("create 308") << Op::create << 308;
    }
    void crossOriginRedirectNeverCarriesTheToken() {
        QFETCH(Op, op);
        QFETCH(int, status);
        TestHttpServer service;
        TestHttpServer elsewhere; // another port: another origin
        elsewhere.setHandler([](const RecordedRequest &) {
            return TestAnswer::json(200, R"({"user_id":1,"id":1,"status":"s"})");
        });
        service.enqueue(TestAnswer::redirect(status, elsewhere.baseUrl().toUtf8() + "/auth/me"));
        QCOMPARE(outcomeOf(op, service.baseUrl()), QStringLiteral("url:bad server response"));
        QVERIFY(!service.requests().isEmpty());
        QTest::qWait(50);
        QCOMPARE(elsewhere.connectionCount(), 0);
    }

    void requestsThatCreateSomethingTakeNoRedirect_data() {
        QTest::addColumn<Op>("op");
        QTest::addColumn<int>("status");
        for (const int status : {301, 302, 303, 307, 308}) {
            QTest::addRow("start %d", status) << Op::start << status;
            QTest::addRow("create %d", status) << Op::create << status;
        }
    }
    void requestsThatCreateSomethingTakeNoRedirect() {
        QFETCH(Op, op);
        QFETCH(int, status);
        TestHttpServer service;
        // Same origin: a redirect that would otherwise be followed, to an answer that decodes.
        const QByteArray moved = service.baseUrl().toUtf8() + "/moved";
        service.setHandler([moved, status](const RecordedRequest &r) {
            if (r.target == "/api/moved")
                return TestAnswer::json(200, R"({"id":1,"status":"s","nonce":"n","bot_url":"b",)"
                                             R"("expires_in_seconds":1})");
            return TestAnswer::redirect(status, moved);
        });
        QCOMPARE(outcomeOf(op, service.baseUrl()), QStringLiteral("url:bad server response"));
        QTest::qWait(50);
        for (const RecordedRequest &request : service.requests())
            QCOMPARE(request.target.startsWith("/api/moved"), false);
    }

    void answerSizeLimit_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("exactly 1 MiB") << qint64(1 << 20) << true;
        QTest::newRow("one byte more") << qint64((1 << 20) + 1) << false;
    }
    void answerSizeLimit() {
        QFETCH(qint64, size);
        QFETCH(bool, accepted);
        TestHttpServer server;
        const QByteArray head = "{\"user_id\":9,\"pad\":\"";
        QByteArray body = head + QByteArray(size - head.size() - 2, 'x') + "\"}";
        QCOMPARE(body.size(), size);
        server.enqueue(TestAnswer::json(200, body));
        QCOMPARE(outcomeOf(Op::profile, server.baseUrl()),
                 accepted ? QStringLiteral("ok:9|<none>") : QStringLiteral("decoding:"));
    }

    void oversizedAnswerIsNeverHeldWhole() {
        // 2 GiB announced and produced on demand: held whole it would show in the peak memory.
        TestHttpServer server;
        TestAnswer huge;
        huge.generatedBodySize = qint64(2) << 30;
        server.enqueue(huge);
        resetPeakResident();
        const qint64 before = peakResidentBytes();
        QVERIFY(before > 0);
        QElapsedTimer timer;
        timer.start();
        const auto outcome =
            runTask(AuthBridge::fetchProfile(server.baseUrl(), QStringLiteral("t")));
        const auto error = outcome.errorAs<DecodingError>();
        QVERIFY(error);
        QCOMPARE(error->kind(), DecodingError::Kind::dataCorrupted);
        const qint64 growth = peakResidentBytes() - before;
        qInfo("peak memory growth %lld KiB, %lld ms", growth / 1024, timer.elapsed());
        QVERIFY2(growth < (512ll << 20), "the answer was buffered");
    }

    // The limit is on silence, not on the whole transfer.
    void inactivityTimesOut_data() {
        QTest::addColumn<int>("pieceSize");
        QTest::addColumn<int>("pauseMs");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no answer at all") << 0 << 0 << "url:timed out";
        QTest::newRow("silence in the middle of the body") << 6 << 1500 << "url:timed out";
        QTest::newRow("steady trickle, 150 ms apart") << 3 << 150 << "ok:4|медленно";
    }
    void inactivityTimesOut() {
        QFETCH(int, pieceSize);
        QFETCH(int, pauseMs);
        QFETCH(QString, expected);
        AuthBridge::setTransferTimeout(400ms);
        TestHttpServer server;
        TestAnswer answer = TestAnswer::json(200, R"({"user_id":4,"first_name":"медленно"})");
        if (pieceSize == 0)
            answer = TestAnswer::stall();
        answer.pieceSize = pieceSize;
        answer.pause = std::chrono::milliseconds(pauseMs);
        server.enqueue(answer);
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(outcomeOf(Op::profile, server.baseUrl()), expected);
        // Timed out no sooner than the limit; the trickle (12 pieces) took well past it.
        QVERIFY(timer.elapsed() >= (pieceSize == 3 ? 1000 : 350));
        QVERIFY(timer.elapsed() < 5000 || pieceSize == 3);
    }

    void transportFailures() {
        {
            TestHttpServer server;
            server.enqueue(TestAnswer::drop());
            // Qt resends once on a connection that closes without answering; drop that too.
            server.enqueue(TestAnswer::drop());
            QCOMPARE(outcomeOf(Op::poll, server.baseUrl()),
                     QStringLiteral("url:network connection lost"));
        }
        QString closedBase;
        {
            TestHttpServer gone;
            closedBase = gone.baseUrl();
        }
        QCOMPARE(outcomeOf(Op::profile, closedBase), QStringLiteral("url:cannot connect to host"));
    }

    void untrustedCertificateFailsBeforeTheRequest() {
        TestHttpsServer server;
        QCOMPARE(outcomeOf(Op::profile, server.baseUrl()),
                 QStringLiteral("url:secure connection failed"));
        QCOMPARE(server.handledRequests(), 0);

        // The server does answer a client that trusts it, so the failure above is the trust.
        QNetworkAccessManager manager;
        std::unique_ptr<QNetworkReply> reply(
            manager.get(QNetworkRequest(QUrl(server.baseUrl() + QStringLiteral("/auth/me")))));
        reply->ignoreSslErrors();
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 10000);
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(server.handledRequests(), 1);
    }

    void requestsShareOneConnection() {
        // One manager for the process keeps the connection alive between calls.
        TestHttpServer server;
        server.setHandler(
            [](const RecordedRequest &) { return TestAnswer::json(200, R"({"user_id":1})"); });
        for (int i = 0; i < 3; ++i)
            QCOMPARE(outcomeOf(Op::profile, server.baseUrl()), QStringLiteral("ok:1|<none>"));
        QCOMPARE(server.requests().size(), 3);
        QCOMPARE(server.connectionCount(), 1);
    }

    void everyFailureHasItsOwnRussianText() {
        QStringList texts;
        for (int code = 0; code <= int(URLError::Code::unknown); ++code)
            texts << URLError(static_cast<URLError::Code>(code)).localizedDescription();
        for (const auto reason :
             {FileReadError::Reason::notFound, FileReadError::Reason::noPermission})
            texts << FileReadError(reason).localizedDescription();
        const QRegularExpression sentence(QStringLiteral("^[А-ЯЁ][А-Яа-яЁёA-Z ,.-]*\\.$"));
        for (const QString &text : texts)
            QVERIFY2(sentence.match(text).hasMatch(), qPrintable(text));
        QCOMPARE(QSet<QString>(texts.begin(), texts.end()).size(), texts.size());
    }
};

QTEST_GUILESS_MAIN(RequestsTest)
#include "tst_requests.moc"
