// The audio upload: the multipart body byte for byte, its headers and path, the status rule,
// failures before sending, progress, and the streaming body device on its own.

#include "AuthBridge.h"
#include "FileReadError.h"
#include "MultipartBodyDevice.h"
#include "TaskOutcome.h"
#include "TestHttpServer.h"
#include "URLError.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QRegularExpression kBoundaryPattern(
    QStringLiteral("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));

QByteArray randomBytes(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(QRandomGenerator::global()->bounded(256));
    return bytes;
}

// The body as the layout defines it, spelled out independently of the device under test.
QByteArray expectedBody(const QByteArray &boundary, const QByteArray &file) {
    return "--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"recording.m4a\"\r\n"
           "Content-Type: audio/mp4\r\n\r\n" +
           file + "\r\n--" + boundary + "--\r\n";
}

QByteArray boundaryOf(const RecordedRequest &request) {
    const QByteArray contentType = request.header("Content-Type").value_or(QByteArray());
    const QByteArray prefix = "multipart/form-data; boundary=";
    if (!contentType.startsWith(prefix))
        return {};
    return contentType.mid(prefix.size());
}

struct Recording {
    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("mix.m4a"));

    explicit Recording(const QByteArray &content) {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(content);
    }
};

TaskOutcome<void> upload(const TestHttpServer &server, const QString &path,
                         AuthBridge::UploadProgress progress = {}) {
    return runTask(AuthBridge::uploadAudio(server.baseUrl(), QStringLiteral("tok"), 42, path,
                                           std::move(progress)));
}

} // namespace

class UploadTest : public QObject {
    Q_OBJECT

private slots:
    void bodyIsByteExact_data() {
        QTest::addColumn<qsizetype>("size");
        QTest::newRow("empty file") << qsizetype(0);
        QTest::newRow("odd size past a chunk") << qsizetype(65536 + 7);
        QTest::newRow("3 MiB") << qsizetype(3 << 20);
    }
    void bodyIsByteExact() {
        QFETCH(qsizetype, size);
        const QByteArray content = randomBytes(size);
        Recording recording(content);
        TestHttpServer server;
        server.enqueue(TestAnswer::json(201, {}));
        QVERIFY(upload(server, recording.path).succeeded());
        QCOMPARE(server.requests().size(), 1);
        const RecordedRequest request = server.requests().first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.target, QByteArray("/api/meetings/42/audio"));
        const QByteArray boundary = boundaryOf(request);
        QVERIFY2(kBoundaryPattern.match(QString::fromLatin1(boundary)).hasMatch(),
                 boundary.constData());
        QCOMPARE(request.body.size(), 183 + size);
        QCOMPARE(request.body, expectedBody(boundary, content));
        QCOMPARE(request.header("Content-Length"),
                 std::optional<QByteArray>(QByteArray::number(183 + size)));
        QVERIFY(!request.header("Transfer-Encoding"));

        QList<QByteArray> ours;
        for (const auto &[name, value] : request.headers) {
            if (name == "Authorization" || name == "Content-Type")
                ours.append(name + ": " + value);
        }
        const QList<QByteArray> expected{"Authorization: Bearer tok",
                                         "Content-Type: multipart/form-data; boundary=" + boundary};
        QCOMPARE(ours, expected);
    }

    void twoUploadsDifferOnlyInTheBoundary() {
        Recording recording(randomBytes(5000));
        TestHttpServer server;
        server.setHandler([](const RecordedRequest &) { return TestAnswer::json(200, {}); });
        QVERIFY(upload(server, recording.path).succeeded());
        QVERIFY(upload(server, recording.path).succeeded());
        const auto requests = server.requests();
        QCOMPARE(requests.size(), 2);
        const QByteArray first = boundaryOf(requests[0]);
        const QByteArray second = boundaryOf(requests[1]);
        QCOMPARE(first.size(), 36);
        QVERIFY(first != second);
        QVERIFY(requests[0].body != requests[1].body);
        QCOMPARE(QByteArray(requests[0].body).replace(first, second), requests[1].body);
    }

    void statusRule_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("200") << 200 << true;
        QTest::newRow("204") << 204 << true;
        QTest::newRow("299") << 299 << true;
        QTest::newRow("300") << 300 << false;
        QTest::newRow("500") << 500 << false;
    }
    void statusRule() {
        QFETCH(int, status);
        QFETCH(bool, succeeds);
        Recording recording("abc");
        TestHttpServer server;
        // The answer body is never read, whatever it holds.
        server.enqueue(
            TestAnswer::json(status, status == 204 ? QByteArray() : QByteArray("not json at all")));
        const auto outcome = upload(server, recording.path);
        QCOMPARE(outcome.succeeded(), succeeds);
        if (!succeeds)
            QCOMPARE(outcome.errorAs<URLError>().value_or(URLError(URLError::Code::unknown)).code(),
                     URLError::Code::badServerResponse);
    }

    void redirectedUploadFailsAndSendsNoGet_data() {
        QTest::addColumn<int>("status");
        for (const int status : {301, 302, 303, 307, 308})
            QTest::addRow("%d", status) << status;
    }
    void redirectedUploadFailsAndSendsNoGet() {
        QFETCH(int, status);
        Recording recording(randomBytes(4096));
        TestHttpServer server;
        const QByteArray moved = server.baseUrl().toUtf8() + "/moved";
        server.setHandler([moved, status](const RecordedRequest &r) {
            return r.target == "/api/moved" ? TestAnswer::json(200, "{}")
                                            : TestAnswer::redirect(status, moved);
        });
        const TaskOutcome<void> outcome = upload(server, recording.path);
        const auto error = outcome.errorAs<URLError>();
        QVERIFY(error.has_value());
        QCOMPARE(error->code(), URLError::Code::badServerResponse);
        QTest::qWait(50);
        for (const RecordedRequest &request : server.requests())
            QCOMPARE(request.method + ' ' + request.target,
                     QByteArray("POST /api/meetings/42/audio"));
        QVERIFY(QFile::exists(recording.path));
    }

    void unreadableFileFailsBeforeSending_data() {
        QTest::addColumn<QString>("which");
        QTest::addColumn<FileReadError::Reason>("reason");
        QTest::newRow("missing") << "missing" << FileReadError::Reason::notFound;
        QTest::newRow("a folder") << "folder" << FileReadError::Reason::other;
    }
    void unreadableFileFailsBeforeSending() {
        QFETCH(QString, which);
        QFETCH(FileReadError::Reason, reason);
        Recording recording("abc");
        const QString path = which == QLatin1String("missing")
                                 ? recording.dir.filePath(QStringLiteral("gone.m4a"))
                                 : recording.dir.path();
        TestHttpServer server;
        const auto error = upload(server, path).errorAs<FileReadError>();
        QVERIFY(error);
        QCOMPARE(error->reason(), reason);
        QTest::qWait(50);
        QCOMPARE(server.connectionCount(), 0);
    }

    void reportsProgressUpToTheTotal() {
        const qsizetype size = 2 << 20;
        Recording recording(randomBytes(size));
        TestHttpServer server;
        server.enqueue(TestAnswer::json(200, {}));
        QList<std::pair<qint64, qint64>> reports;
        QVERIFY(upload(server, recording.path, [&reports](std::int64_t sent, std::int64_t total) {
                    reports.append({sent, total});
                }).succeeded());
        QVERIFY(!reports.isEmpty());
        qint64 last = -1;
        for (const auto &[sent, total] : reports) {
            QCOMPARE(total, qint64(183 + size));
            QVERIFY(sent >= last);
            last = sent;
        }
        QCOMPARE(reports.last().first, qint64(183 + size));
    }

    void fileShrinkingDuringTheUploadFailsAtOnce() {
        AuthBridge::setTransferTimeout(std::chrono::seconds(30));
        Recording recording(randomBytes(8 << 20));
        TestHttpServer server;
        server.enqueue(TestAnswer::json(200, {}));
        const QString path = recording.path;
        bool truncated = false;
        QElapsedTimer timer;
        timer.start();
        const auto outcome = upload(server, path, [&truncated, path](std::int64_t, std::int64_t) {
            if (!truncated)
                truncated = QFile::resize(path, 1000);
        });
        AuthBridge::setTransferTimeout(std::chrono::seconds(60));
        QVERIFY(truncated);
        const auto error = outcome.errorAs<FileReadError>();
        QVERIFY(error);
        QCOMPARE(error->reason(), FileReadError::Reason::other);
        QVERIFY(timer.elapsed() < 10000);
    }

    // Qt may rewind the body to resend it; every section must read the same from anywhere.
    void deviceReadsFromAnyPositionInAnyPieces_data() {
        QTest::addColumn<qint64>("position");
        QTest::addColumn<qint64>("piece");
        QTest::newRow("start, byte by byte") << qint64(0) << qint64(1);
        QTest::newRow("start, prefix-sized pieces") << qint64(0) << qint64(139);
        QTest::newRow("inside the prefix") << qint64(50) << qint64(7);
        QTest::newRow("first file byte") << qint64(139) << qint64(1 << 20);
        QTest::newRow("first suffix byte") << qint64(139 + 1000) << qint64(1);
        QTest::newRow("last byte") << qint64(183 + 1000 - 1) << qint64(10);
        QTest::newRow("end") << qint64(183 + 1000) << qint64(10);
    }
    void deviceReadsFromAnyPositionInAnyPieces() {
        QFETCH(qint64, position);
        QFETCH(qint64, piece);
        const QByteArray content = randomBytes(1000);
        Recording recording(content);
        const QByteArray boundary = "FEDCBA98-7654-3210-FEDC-BA9876543210";
        MultipartBodyDevice device(recording.path, boundary);
        QCOMPARE(device.size(), qint64(183 + content.size()));
        device.read(300); // move somewhere else first
        QVERIFY(device.seek(position));
        QByteArray read;
        for (QByteArray got; !(got = device.read(piece)).isEmpty();)
            read += got;
        QCOMPARE(read, expectedBody(boundary, content).mid(position));
        QVERIFY(device.atEnd());
        QVERIFY(!device.seek(device.size() + 1));
    }

    // A peek reads ahead inside the device; the reader is not at the end until it reads.
    void peekingAtTheLastBytesIsNotTheEnd() {
        Recording recording(randomBytes(100));
        const QByteArray boundary = "FEDCBA98-7654-3210-FEDC-BA9876543210";
        MultipartBodyDevice device(recording.path, boundary);
        QVERIFY(device.seek(device.size() - 6));
        QCOMPARE(device.peek(6), QByteArray("--\r\n").prepend(boundary.right(2)));
        QVERIFY(!device.atEnd());
        QCOMPARE(device.read(6), QByteArray("--\r\n").prepend(boundary.right(2)));
        QVERIFY(device.atEnd());
    }

    // A read that fails on a shrunken file takes nothing: the next read starts at pos() again.
    void failedReadLeavesThePosition() {
        const QByteArray content = randomBytes(1000);
        Recording recording(content);
        const QByteArray boundary = "FEDCBA98-7654-3210-FEDC-BA9876543210";
        MultipartBodyDevice device(recording.path, boundary);
        QVERIFY(QFile::resize(recording.path, 10));
        QVERIFY(device.read(500).isEmpty());
        QVERIFY(device.fileFailed());
        QCOMPARE(device.pos(), qint64(0));
        QCOMPARE(device.read(149), expectedBody(boundary, content).left(149));
    }
};

QTEST_GUILESS_MAIN(UploadTest)
#include "tst_upload.moc"
