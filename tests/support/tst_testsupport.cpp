// The test service must record exactly what a client sent and answer exactly as scripted,
// or every request test built on it proves nothing.

#include "TestHttpServer.h"
#include "TestHttpsServer.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;

namespace {

// A raw client: what it writes is what the server sees, byte for byte.
std::unique_ptr<QTcpSocket> connectTo(const TestHttpServer &server) {
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QStringLiteral("127.0.0.1"), server.port());
    if (!socket->waitForConnected(5000))
        return nullptr;
    return socket;
}

// Reads one whole answer (head and Content-Length body) or gives up after the timeout.
QByteArray readAnswer(QTcpSocket &socket, int timeoutMs = 5000) {
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        const qsizetype headEnd = data.indexOf("\r\n\r\n");
        if (headEnd >= 0) {
            const qsizetype lengthAt = data.toLower().indexOf("content-length:");
            if (lengthAt >= 0 && lengthAt < headEnd) {
                const qsizetype lineEnd = data.indexOf("\r\n", lengthAt);
                const qint64 length =
                    data.mid(lengthAt + 15, lineEnd - lengthAt - 15).trimmed().toLongLong();
                if (data.size() >= headEnd + 4 + length)
                    return data;
            }
        }
        if (!socket.waitForReadyRead(50)) {
            if (socket.state() != QAbstractSocket::ConnectedState)
                break;
            continue;
        }
        data += socket.readAll();
    }
    return data;
}

} // namespace

class TestSupportTest : public QObject {
    Q_OBJECT

private slots:
    void recordsRequestExactlyAsSent() {
        TestHttpServer server;
        server.enqueue(TestAnswer::json(201, R"({"a":1})"));
        auto socket = connectTo(server);
        QVERIFY(socket);
        socket->write(QByteArray("POST /api//a%2Fb?x=1&y HTTP/1.1\r\n"
                                 "Host: 127.0.0.1\r\n"
                                 "x-Lower:   padded value  \r\n"
                                 "Authorization: Bearer t\r\n"
                                 "Content-Length: 5\r\n"
                                 "\r\n") +
                      QByteArray("he\0lo", 5));
        const QByteArray answer = readAnswer(*socket);
        QVERIFY2(answer.startsWith("HTTP/1.1 201 "), answer.constData());
        QVERIFY(answer.endsWith("\r\n\r\n{\"a\":1}"));

        const auto requests = server.requests();
        QCOMPARE(requests.size(), 1);
        const RecordedRequest &r = requests.first();
        QCOMPARE(r.method, QByteArray("POST"));
        QCOMPARE(r.target, QByteArray("/api//a%2Fb?x=1&y"));
        const QList<QByteArray> names{"Host", "x-Lower", "Authorization", "Content-Length"};
        QCOMPARE(r.headerNames(), names);
        QCOMPARE(r.header("X-LOWER"), std::optional<QByteArray>("padded value"));
        QCOMPARE(r.body, QByteArray("he\0lo", 5));
        QCOMPARE(r.bodySize, 5);
        QCOMPARE(r.bodySha256,
                 QCryptographicHash::hash(QByteArray("he\0lo", 5), QCryptographicHash::Sha256));
    }

    void decodesChunkedBodies() {
        TestHttpServer server;
        auto socket = connectTo(server);
        QVERIFY(socket);
        socket->write("POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "3\r\nabc\r\nA;ext=1\r\n0123456789\r\n0\r\nX-Trailer: 1\r\n\r\n");
        QVERIFY(readAnswer(*socket).startsWith("HTTP/1.1 404 "));
        QCOMPARE(server.requests().value(0).body, QByteArray("abc0123456789"));
    }

    void keepsConnectionsAliveAndAnswersInScriptOrder() {
        TestHttpServer server;
        server.enqueue(TestAnswer::json(200, "first"));
        server.setHandler(
            [](const RecordedRequest &r) { return TestAnswer::json(202, "handled " + r.target); });
        auto socket = connectTo(server);
        QVERIFY(socket);
        socket->write("GET /1 HTTP/1.1\r\n\r\n");
        QVERIFY(readAnswer(*socket).endsWith("first"));
        socket->write("GET /2 HTTP/1.1\r\n\r\n");
        const QByteArray second = readAnswer(*socket);
        QVERIFY(second.startsWith("HTTP/1.1 202 "));
        QVERIFY(second.endsWith("handled /2"));
        QCOMPARE(server.connectionCount(), 1);
        QCOMPARE(server.requests().value(1).connection, 1);
    }

    void actions_data() {
        QTest::addColumn<int>("action");
        QTest::addColumn<bool>("expectAnswer");
        QTest::addColumn<bool>("expectClosed");
        QTest::newRow("stall keeps the line open, says nothing")
            << int(TestAnswer::Action::stall) << false << false;
        QTest::newRow("drop closes without a byte")
            << int(TestAnswer::Action::drop) << false << true;
        QTest::newRow("respond") << int(TestAnswer::Action::respond) << true << false;
    }
    void actions() {
        QFETCH(int, action);
        QFETCH(bool, expectAnswer);
        QFETCH(bool, expectClosed);
        TestHttpServer server;
        TestAnswer answer;
        answer.action = static_cast<TestAnswer::Action>(action);
        server.enqueue(answer);
        auto socket = connectTo(server);
        QVERIFY(socket);
        socket->write("GET / HTTP/1.1\r\n\r\n");
        const QByteArray got = readAnswer(*socket, 700);
        QCOMPARE(got.startsWith("HTTP/1.1 200 "), expectAnswer);
        QCOMPARE(got.isEmpty(), !expectAnswer);
        QCOMPARE(socket->state() != QAbstractSocket::ConnectedState, expectClosed);
        QCOMPARE(server.requests().size(), 1);
    }

    void delaysAndServesOtherConnectionsMeanwhile() {
        TestHttpServer server;
        server.setHandler([](const RecordedRequest &r) {
            if (r.target == "/stall")
                return TestAnswer::stall();
            TestAnswer answer = TestAnswer::json(200, "late");
            answer.delay = 300ms;
            return answer;
        });
        auto stalled = connectTo(server);
        QVERIFY(stalled);
        stalled->write("GET /stall HTTP/1.1\r\n\r\n");
        QVERIFY(server.waitForRequests(1));
        auto other = connectTo(server);
        QVERIFY(other);
        QElapsedTimer timer;
        timer.start();
        other->write("GET /slow HTTP/1.1\r\n\r\n");
        QVERIFY(readAnswer(*other).endsWith("late"));
        QVERIFY(timer.elapsed() >= 290);
    }

    void redirectsAndGeneratedBodies() {
        TestHttpServer server;
        server.enqueue(TestAnswer::redirect(307, "http://elsewhere/x"));
        TestAnswer big;
        big.generatedBodySize = 300000;
        server.enqueue(big);
        auto socket = connectTo(server);
        QVERIFY(socket);
        socket->write("GET /r HTTP/1.1\r\n\r\n");
        const QByteArray redirect = readAnswer(*socket);
        QVERIFY(redirect.startsWith("HTTP/1.1 307 "));
        QVERIFY(redirect.contains("\r\nLocation: http://elsewhere/x\r\n"));
        socket->write("GET /big HTTP/1.1\r\n\r\n");
        const QByteArray body = readAnswer(*socket).split('\n').last();
        QCOMPARE(body.size(), 300000);
        QVERIFY(body.startsWith("{\"pad\":\"xxx"));
        QVERIFY(body.endsWith("xx\"}"));
    }

    void keepsOnlySizeAndHashWhenAsked() {
        TestHttpServer server(TestHttpServer::BodyMode::sizeAndHashOnly);
        const QByteArray payload(1 << 20, 'q');
        auto socket = connectTo(server);
        QVERIFY(socket);
        socket->write("PUT /p HTTP/1.1\r\nContent-Length: " + QByteArray::number(payload.size()) +
                      "\r\n\r\n" + payload);
        QVERIFY(!readAnswer(*socket).isEmpty());
        const RecordedRequest r = server.requests().value(0);
        QVERIFY(r.body.isEmpty());
        QCOMPARE(r.bodySize, payload.size());
        QCOMPARE(r.bodySha256, QCryptographicHash::hash(payload, QCryptographicHash::Sha256));
    }

    void httpsServerAnswersClientsThatTrustIt() {
        // The untrusted-certificate tests rely on this server working when trust is given.
        TestHttpsServer server;
        QNetworkAccessManager manager;
        QNetworkRequest request(QUrl(server.baseUrl() + QStringLiteral("/auth/me")));
        std::unique_ptr<QNetworkReply> reply(manager.get(request));
        reply->ignoreSslErrors();
        QSignalSpy finished(reply.get(), &QNetworkReply::finished);
        QVERIFY(finished.wait(10000));
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(server.handledRequests(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSupportTest)
#include "tst_testsupport.moc"
