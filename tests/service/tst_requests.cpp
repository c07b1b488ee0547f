// The four JSON requests and the audio upload against a real HTTP server on loopback: what goes
// on the wire, where the token may travel, how each status and each broken answer ends.

#include "AuthBridge.h"
#include "DecodingError.h"
#include "FileReadError.h"
#include "TaskOutcome.h"
#include "TestHttpServer.h"
#include "TestHttpsServer.h"
#include "URLError.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {

enum class Op { start, poll, profile, create, upload };

// A recording of random bytes in a folder of its own, removed with it.
struct Recording {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("mix.m4a"));
    QByteArray content;

    explicit Recording(qsizetype size)
        : content(size, 0) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(content.data()),
                                              size / 4);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(content);
    }
};

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

// "ok:" and the answer's key value, or how it failed.
QString outcomeOf(Op op, const QString &baseUrl) {
    const QString token = QStringLiteral("tok");
    switch (op) {
    case Op::start:
        return describe(AuthBridge::startAppLogin(baseUrl),
                        [](const AppLoginResponse &r) { return r.nonce; });
    case Op::poll:
        return describe(AuthBridge::pollAppLogin(baseUrl, QStringLiteral("n1")),
                        [](const std::optional<QString> &t) { return t.value_or("<none>"); });
    case Op::profile:
        return describe(AuthBridge::fetchProfile(baseUrl, token),
                        [](const UserProfileVM &p) { return QString::number(p.id); });
    case Op::create:
        return describe(AuthBridge::createMeeting(baseUrl, token),
                        [](const MeetingCreateResult &m) { return QString::number(m.id); });
    case Op::upload:
        const Recording recording(4096);
        return describe(AuthBridge::uploadAudio(baseUrl, token, 42, recording.path),
                        [](std::monostate) { return QString(); });
    }
    return {};
}

// Method, target, the headers this program sets itself (the rest belong to the HTTP stack) and
// the body, one per line.
QByteArray wireOf(const RecordedRequest &request) {
    QByteArray text = request.method + ' ' + request.target + '\n';
    for (const QByteArray name : {"Authorization", "Content-Type"}) {
        if (const auto value = request.header(name))
            text += name + ": " + *value + '\n';
    }
    return text + request.body;
}

// The upload body as the service reads it, spelled out apart from the code that makes it.
QByteArray expectedBody(const QByteArray &boundary, const QByteArray &file) {
    return "--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"recording.m4a\"\r\n"
           "Content-Type: audio/mp4\r\n\r\n" +
           file + "\r\n--" + boundary + "--\r\n";
}

} // namespace

class RequestsTest : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { AuthBridge::setTransferTimeout(60s); }

    // The service decides by path, method and token; the status only where the rules say so.
    void wireAndStatusRules_data() {
        QTest::addColumn<Op>("op");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, Op op, int status, const char *body,
                            const char *expected) {
            QTest::newRow(name) << op << status << QByteArray(body) << QString::fromUtf8(expected);
        };
        const char *profile = R"({"user_id":7,"first_name":"Аня"})";
        const char *ok = R"({"status":"ok","token":"T-1"})";
        row("profile 200", Op::profile, 200, profile, "ok:7");
        row("profile 401 with a valid body", Op::profile, 401, profile,
            "url:user authentication required");
        row("profile 500 junk", Op::profile, 500, "oops", "decoding:");
        row("poll ok with token", Op::poll, 200, ok, "ok:T-1");
        row("poll OK differs in case", Op::poll, 200, R"({"status":"OK","token":"T"})",
            "ok:<none>");
        row("poll 404", Op::poll, 404, ok, "url:resource unavailable");
        row("poll 410", Op::poll, 410, ok, "url:resource unavailable");
        row("start 200", Op::start, 200, R"({"nonce":"N","bot_url":"b","expires_in_seconds":3})",
            "ok:N");
        row("create 201", Op::create, 201, R"({"id":42,"status":"new"})", "ok:42");
        // A refused token on creating a meeting is an expired sign-in, whatever the body says.
        row("create 401 junk", Op::create, 401, "Unauthorized", "url:user authentication required");
        row("create 403 with a valid body", Op::create, 403, R"({"id":42,"status":"new"})",
            "url:user authentication required");
        row("create 500 junk", Op::create, 500, "oops", "decoding:");
    }
    void wireAndStatusRules() {
        QFETCH(Op, op);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        TestHttpServer server;
        server.setHandler([&](const RecordedRequest &) { return TestAnswer::json(status, body); });
        QCOMPARE(outcomeOf(op, server.baseUrl()), expected);
        QCOMPARE(server.requests().size(), 1);
        const QByteArray wire[] = {
            "POST /api/auth/app-login/start\nContent-Type: application/json\n",
            "GET /api/auth/app-login/poll/n1\n",
            "GET /api/auth/me\nAuthorization: Bearer tok\n",
            "POST /api/meetings\nAuthorization: Bearer tok\nContent-Type: application/json\n{}",
        };
        QCOMPARE(wireOf(server.requests().first()), wire[int(op)]);
    }

    // Plain http only to this machine: the token must not cross a network unencrypted.
    void badUrlSendsNothing_data() {
        QTest::addColumn<Op>("op");
        for (const Op op : {Op::start, Op::poll, Op::profile, Op::create, Op::upload})
            QTest::addRow("%d", int(op)) << op;
    }
    void badUrlSendsNothing() {
        QFETCH(Op, op);
        TestHttpServer server;
        const QString port = QString::number(QUrl(server.origin()).port());
        for (const QString &base :
             {server.origin() + QStringLiteral("/a pi"), QStringLiteral("http://tolvex.ru/api"),
              QStringLiteral("ftp://127.0.0.1:%1/api").arg(port)})
            QCOMPARE(outcomeOf(op, base), QStringLiteral("url:bad URL"));
        QTest::qWait(50);
        QCOMPARE(server.connectionCount(), 0);
    }

    // Only a GET follows a redirect, and only on its own origin: the token never reaches another
    // origin, and a POST is never turned into a GET that "succeeds" without its body.
    void redirects_data() {
        QTest::addColumn<Op>("op");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("sameOrigin");
        QTest::addColumn<QString>("expected");
        const QString refused = QStringLiteral("url:bad server response");
        QTest::newRow("profile, same origin") << Op::profile << 302 << true << "ok:5";
        QTest::newRow("profile 302 elsewhere") << Op::profile << 302 << false << refused;
        QTest::newRow("create 308 elsewhere") << Op::create << 308 << false << refused;
        QTest::newRow("start 302") << Op::start << 302 << true << refused;
        for (const int status : {303, 307}) {
            QTest::addRow("create %d", status) << Op::create << status << true << refused;
            QTest::addRow("upload %d", status) << Op::upload << status << true << refused;
        }
    }
    void redirects() {
        QFETCH(Op, op);
        QFETCH(int, status);
        QFETCH(bool, sameOrigin);
        QFETCH(QString, expected);
        TestHttpServer service;
        TestHttpServer elsewhere; // another port: another origin
        const QByteArray moved = (sameOrigin ? service : elsewhere).baseUrl().toUtf8() + "/moved";
        const auto handler = [&](const RecordedRequest &r) {
            if (r.target == "/api/moved")
                return TestAnswer::json(200, R"({"user_id":5,"id":1,"status":"s","nonce":"n",)"
                                             R"("bot_url":"b","expires_in_seconds":1})");
            return TestAnswer::redirect(status, moved);
        };
        service.setHandler(handler);
        elsewhere.setHandler(handler);
        QCOMPARE(outcomeOf(op, service.baseUrl()), expected);
        QTest::qWait(50);
        int followed = 0;
        for (const auto &request : service.requests() + elsewhere.requests()) {
            if (request.target == "/api/moved" && ++followed)
                QCOMPARE(request.header("Authorization"), std::optional<QByteArray>("Bearer tok"));
        }
        QCOMPARE(followed, expected.startsWith(QLatin1String("ok")) ? 1 : 0);
    }

    // Answers are capped at 1 MiB while they arrive, so that a service sending more can neither
    // fill the memory nor hold the request until the rest comes; the time limit is on silence,
    // not on the whole transfer.
    void answerArrival_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("pieceSize");
        QTest::addColumn<int>("pauseMs");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<QString>("expected");
        QTest::newRow("exactly 1 MiB") << (1 << 20) << 0 << 0 << 3000 << "ok:9";
        QTest::newRow("one byte more") << (1 << 20) + 1 << 0 << 0 << 3000 << "decoding:";
        // A client that waited for the whole answer would time out instead.
        QTest::newRow("3 MiB, the rest much later")
            << (3 << 20) << (3 << 19) << 60000 << 3000 << "decoding:";
        QTest::newRow("silence in the middle") << 40 << 6 << 1500 << 400 << "url:timed out";
        QTest::newRow("steady trickle, 150 ms apart") << 40 << 3 << 150 << 400 << "ok:9";
    }
    void answerArrival() {
        QFETCH(int, size);
        QFETCH(int, pieceSize);
        QFETCH(int, pauseMs);
        QFETCH(int, timeoutMs);
        QFETCH(QString, expected);
        AuthBridge::setTransferTimeout(std::chrono::milliseconds(timeoutMs));
        TestHttpServer server;
        const QByteArray head = "{\"user_id\":9,\"pad\":\"";
        TestAnswer answer =
            TestAnswer::json(200, head + QByteArray(size - head.size() - 2, 'x') + "\"}");
        answer.pieceSize = pieceSize;
        answer.pause = std::chrono::milliseconds(pauseMs);
        server.setHandler([&](const RecordedRequest &) { return answer; });
        QCOMPARE(outcomeOf(Op::profile, server.baseUrl()), expected);
    }

    void untrustedCertificateFailsBeforeTheRequest() {
        TestHttpsServer server;
        QCOMPARE(outcomeOf(Op::profile, server.baseUrl()),
                 QStringLiteral("url:secure connection failed"));
        QCOMPARE(server.handledRequests(), 0);
    }

    // The body byte for byte, sent again whole when the connection fails before the answer;
    // only a 2xx answer counts as delivered, whatever its body.
    void upload_data() {
        QTest::addColumn<qsizetype>("size");
        QTest::addColumn<bool>("dropFirst");
        QTest::addColumn<int>("status");
        QTest::newRow("empty file, 204") << qsizetype(0) << false << 204;
        QTest::newRow("3 MiB and a bit, 299") << qsizetype((3 << 20) + 7) << false << 299;
        QTest::newRow("connection dropped, sent again") << qsizetype(100000) << true << 200;
        QTest::newRow("500 is not delivered") << qsizetype(10) << false << 500;
    }
    void upload() {
        QFETCH(qsizetype, size);
        QFETCH(bool, dropFirst);
        QFETCH(int, status);
        const Recording recording(size);
        TestHttpServer server;
        server.setHandler([&](const RecordedRequest &) {
            if (std::exchange(dropFirst, false))
                return TestAnswer::drop();
            return TestAnswer::json(status, status == 204 ? QByteArray() : "not json at all");
        });
        qint64 lastSent = -1;
        const auto outcome = runTask(
            AuthBridge::uploadAudio(server.baseUrl(), QStringLiteral("tok"), 42, recording.path,
                                    [&](std::int64_t sent, std::int64_t total) {
                                        QVERIFY(sent >= lastSent && total == 183 + size);
                                        lastSent = sent;
                                    }));
        QCOMPARE(outcome.succeeded(), status < 300);
        if (status >= 300)
            QCOMPARE(outcome.errorAs<URLError>()->code(), URLError::Code::badServerResponse);
        else
            QCOMPARE(lastSent, qint64(183 + size));

        const RecordedRequest request = server.requests().last();
        const QByteArray boundary =
            request.header("Content-Type").value_or("").mid(qsizetype(30)); // after "...boundary="
        QCOMPARE(wireOf(request), "POST /api/meetings/42/audio\nAuthorization: Bearer tok\n"
                                  "Content-Type: multipart/form-data; boundary=" +
                                      boundary + '\n' + expectedBody(boundary, recording.content));
        QCOMPARE(request.header("Content-Length"), std::optional(QByteArray::number(183 + size)));
    }

    // A recording cut short under the upload fails at once instead of leaving the service
    // waiting for bytes that never come.
    void fileShrinkingDuringTheUploadFailsAtOnce() {
        const Recording recording(8 << 20);
        TestHttpServer server;
        server.setHandler([](const RecordedRequest &) { return TestAnswer::json(200, {}); });
        bool truncated = false;
        QElapsedTimer timer;
        timer.start();
        const auto outcome =
            runTask(AuthBridge::uploadAudio(server.baseUrl(), QStringLiteral("tok"), 42,
                                            recording.path, [&](std::int64_t, std::int64_t) {
                                                truncated = truncated ||
                                                            QFile::resize(recording.path, 1000);
                                            }));
        QVERIFY(truncated);
        QVERIFY(outcome.errorAs<FileReadError>());
        QVERIFY(timer.elapsed() < 10000);
    }
};

QTEST_GUILESS_MAIN(RequestsTest)
#include "tst_requests.moc"
