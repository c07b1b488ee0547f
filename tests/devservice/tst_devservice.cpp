// The reference service as a developer runs it: its own process on a free loopback port with a
// private data folder, answering the program's own client (AuthBridge), and refusing what it
// must refuse (foreign tokens and meetings, bad and oversized uploads, foreign Host names)
// without going down or leaving files behind.

#include "AuthBridge.h"
#include "TaskOutcome.h"
#include "URLError.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <optional>

namespace {

// A real AAC/M4A recording made by the ffmpeg tool from a lavfi source; true when written.
bool encodeTone(const QString &path, const QString &lavfiSource) {
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 QStringLiteral("-nostdin -v error -f lavfi -i").split(u' ') +
                     QStringList{lavfiSource, QStringLiteral("-y"), path});
    return ffmpeg.waitForFinished(60000) && ffmpeg.exitStatus() == QProcess::NormalExit &&
           ffmpeg.exitCode() == 0;
}

// One running tolvex-devservice on a data folder of its own.
class ServiceProcess {
public:
    explicit ServiceProcess(QStringList extraArguments = {}) {
        m_process.start(QStringLiteral(TOLVEX_DEVSERVICE_PATH),
                        QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                    QStringLiteral("--data"), m_data.path()} +
                            extraArguments);
        // The first line is the API address, once it listens.
        while (m_process.waitForStarted(10000) && !m_process.canReadLine() &&
               m_process.waitForReadyRead(15000)) {
        }
        static const QRegularExpression pattern(
            QStringLiteral("^Tolvex devservice: http://127\\.0\\.0\\.1:(\\d+)/api$"));
        const auto match = pattern.match(QString::fromUtf8(m_process.readLine()).trimmed());
        m_port = match.hasMatch() ? match.captured(1).toInt() : 0;
        while (!m_process.canReadLine() && m_process.waitForReadyRead(5000)) {
        }
        m_meetings = m_process.readLine().trimmed().replace(
            "Встречи: http://127.0.0.1:" + QByteArray::number(m_port), "");
    }
    ~ServiceProcess() {
        m_process.kill();
        m_process.waitForFinished(10000);
    }

    [[nodiscard]] bool running() const {
        return m_port > 0 && m_process.state() == QProcess::Running;
    }
    [[nodiscard]] int port() const { return m_port; }
    // The meetings page's path with this run's key.
    [[nodiscard]] QByteArray meetingsPath() const { return m_meetings; }
    [[nodiscard]] QString baseUrl() const {
        return QStringLiteral("http://127.0.0.1:%1/api").arg(m_port);
    }
    [[nodiscard]] QByteArray audio(std::int64_t meeting) const {
        QFile file(m_data.filePath(QStringLiteral("audio/%1.m4a").arg(meeting)));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Temporary files of uploads that were neither finished nor cleaned away.
    [[nodiscard]] QStringList leftoverUploads() const {
        return QDir(m_data.filePath(QStringLiteral("audio")))
            .entryList({QStringLiteral(".upload-*")}, QDir::Files | QDir::Hidden);
    }
    [[nodiscard]] std::unique_ptr<httplib::Client> client() const {
        auto client = std::make_unique<httplib::Client>("127.0.0.1", m_port);
        client->set_read_timeout(30, 0);
        return client;
    }

private:
    QTemporaryDir m_data;
    QProcess m_process;
    int m_port = 0;
    QByteArray m_meetings;
};

// The whole sign-in through the program's client, confirmed as the service's page does it.
std::optional<QString> signIn(const ServiceProcess &service, const std::string &firstName) {
    const auto login = runTask(AuthBridge::startAppLogin(service.baseUrl()));
    if (!login.succeeded())
        return std::nullopt;
    const httplib::Result confirmed = service.client()->Post(
        "/bot/confirm",
        httplib::Params{{"nonce", login.value->nonce.toStdString()}, {"first_name", firstName}});
    if (!confirmed || confirmed->status != 200)
        return std::nullopt;
    const auto poll = runTask(AuthBridge::pollAppLogin(service.baseUrl(), login.value->nonce));
    return poll.succeeded() ? *poll.value : std::nullopt;
}

std::int64_t createMeeting(const ServiceProcess &service, const QString &token) {
    const auto meeting = runTask(AuthBridge::createMeeting(service.baseUrl(), token));
    return meeting.succeeded() && meeting.value->status == QStringLiteral("created")
               ? meeting.value->id
               : 0;
}

std::string multipartBody(const std::string &disposition, const std::string &file) {
    return "--B0UNDARY\r\nContent-Disposition: " + disposition +
           "\r\nContent-Type: audio/mp4\r\n\r\n" + file + "\r\n--B0UNDARY--\r\n";
}

// The status and body of the answer to a request's head alone, its body never sent.
std::pair<int, QByteArray> answerToHead(int port, const QByteArray &head) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(port));
    socket.waitForConnected(5000);
    socket.write(head);
    QByteArray reply;
    while (socket.waitForReadyRead(5000))
        reply += socket.readAll();
    const qsizetype split = reply.indexOf("\r\n\r\n");
    return {reply.mid(9, 3).toInt(), split < 0 ? QByteArray() : reply.mid(split + 4)};
}

} // namespace

class TestDevService : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_files;
    QString m_recording; // 3 s of tone
    QByteArray m_recordingBytes;

private slots:
    void initTestCase() {
        m_recording = m_files.filePath(QStringLiteral("tone.m4a"));
        QVERIFY2(encodeTone(m_recording,
                            QStringLiteral("sine=frequency=440:sample_rate=44100:duration=3")),
                 "ffmpeg is missing: run scripts/install-deps");
        QFile file(m_recording);
        QVERIFY(file.open(QIODevice::ReadOnly));
        m_recordingBytes = file.readAll();
    }

    void expiredAndUnknownSignIns() {
        ServiceProcess service({QStringLiteral("--nonce-lifetime"), QStringLiteral("1")});
        QVERIFY(service.running());
        const auto login = runTask(AuthBridge::startAppLogin(service.baseUrl()));
        QVERIFY(login.succeeded());
        QCOMPARE(login.value->expiresInSeconds, 1);
        const auto pending =
            runTask(AuthBridge::pollAppLogin(service.baseUrl(), login.value->nonce));
        QVERIFY(pending.succeeded() && !pending.value->has_value());
        QThread::msleep(1300);
        for (const QString &nonce : {login.value->nonce, QStringLiteral("0123abcd")}) {
            const auto poll = runTask(AuthBridge::pollAppLogin(service.baseUrl(), nonce));
            QCOMPARE(poll.errorAs<URLError>().value().code(), URLError::Code::resourceUnavailable);
        }
    }

    // Each row is refused with its status and an error text, by a service that holds a
    // recording of Anna's first meeting; @TOKEN@ and @BORIS@ stand for the two users' tokens,
    // @MEETING@ for Anna's second meeting, @FILE@ for the recording, @PORT@ for the port.
    // Another method than GET or POST sends only a head announcing 200 MiB or a chunked body.
    void refusals_data() {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("authorization");
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body"); // empty: a GET
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("method"); // empty: GET or POST, as the body says
        const QByteArray upload = "/api/meetings/@MEETING@/audio";
        const QByteArray bearer = "Bearer @TOKEN@";
        const std::string audio = "form-data; name=\"audio\"; filename=\"recording.m4a\"";
        const std::string file = multipartBody(audio, "@FILE@");
        const auto row = [&](const char *tag, const QByteArray &path,
                             const QByteArray &authorization, const std::string &body, int status,
                             const char *error, const QByteArray &host = "127.0.0.1:@PORT@",
                             const QByteArray &type = "multipart/form-data; boundary=B0UNDARY",
                             const QByteArray &method = {}) {
            QTest::newRow(tag) << path << host << authorization << type
                               << QByteArray::fromStdString(body) << status
                               << QString::fromUtf8(error) << method;
        };
        const QByteArray local = "127.0.0.1:@PORT@", json = "application/json";
        row("PUT upload", upload, "", file, 405, "POST", local, json, "PUT");
        row("PATCH upload", upload, "", file, 405, "POST", local, json, "PATCH");
        row("chunked upload without a token", upload, "", file, 401, "токен", local, json,
            "POST chunked");
        row("DELETE upload, chunked", upload, "", file, 405, "POST", local, json, "DELETE chunked");
        row("meetings page without the key", "/", "", "", 403, "ключ");
        row("meetings page with a wrong key", "/?key=0", bearer + "0", "", 403, "ключ");
        row("recording without the key", "/meetings/1/audio.m4a", "", "", 404, "Записи нет");
        row("recording by another user's token", "/meetings/1/audio.m4a", "Bearer @BORIS@", "", 404,
            "Записи нет");
        row("profile without a token", "/api/auth/me", "", "", 401, "токен");
        row("profile by another scheme", "/api/auth/me", "Basic @TOKEN@", "", 401, "токен");
        row("meeting with a wrong token", "/api/meetings", bearer + "0", "{}", 401, "токен", local,
            json);
        row("upload with a wrong token", upload, bearer + "0", file, 401, "токен");
        row("upload to another user's meeting", upload, "Bearer @BORIS@", file, 404, "не найдена");
        row("upload to no meeting", "/api/meetings/999/audio", bearer, file, 404, "не найдена");
        row("not multipart", upload, bearer, "{}", 400, "multipart", local, json);
        row("no part", upload, bearer, "this is not multipart", 400, "нет части");
        row("wrong part name", upload, bearer,
            multipartBody("form-data; name=\"file\"; filename=\"a.m4a\"", "@FILE@"), 400,
            "\"audio\"");
        row("part that is not a file", upload, bearer,
            multipartBody("form-data; name=\"audio\"", "@FILE@"), 400, "имени файла");
        row("extra part", upload, bearer,
            "--B0UNDARY\r\nContent-Disposition: " + audio +
                "\r\n\r\n@FILE@\r\n--B0UNDARY\r\nContent-Disposition: form-data; "
                "name=\"x\"\r\n\r\n1\r\n--B0UNDARY--\r\n",
            400, "больше одной части");
        row("no closing delimiter", upload, bearer,
            "--B0UNDARY\r\nContent-Disposition: " + audio + "\r\n\r\n@FILE@", 400, "оборвалось");
        row("not a recording", upload, bearer, multipartBody(audio, "just some text"), 400,
            "аудиозапись");
        // A list in FFmpeg's concat format that would read the first meeting's recording.
        row("ffconcat list", upload, bearer,
            multipartBody(audio, "ffconcat version 1.0\nfile 1.m4a\n"), 400, "аудиозапись");
        row("over the limit", upload, bearer,
            multipartBody(audio, "@FILE@" + std::string(300 * 1024, 'x')), 413, "больше");
        // A web page whose name was pointed at 127.0.0.1 (DNS rebinding).
        row("meetings page by a foreign name", "/", "", "", 421, "Host", "evil.example");
        row("recording by a foreign name", "/meetings/1/audio.m4a", "", "", 421, "Host",
            "evil.example:@PORT@");
        row("upload on another port", upload, bearer, file, 421, "Host", "127.0.0.1:1");
    }
    void refusals() {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, authorization);
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, error);
        QFETCH(QByteArray, method);

        ServiceProcess service({QStringLiteral("--max-upload"), QStringLiteral("262144")});
        QVERIFY(service.running());
        const std::optional<QString> anna = signIn(service, "Анна");
        const std::optional<QString> boris = signIn(service, "Борис");
        QVERIFY(anna && boris);
        QCOMPARE(createMeeting(service, *anna), 1);
        QVERIFY(
            runTask(AuthBridge::uploadAudio(service.baseUrl(), *anna, 1, m_recording)).succeeded());
        QCOMPARE(createMeeting(service, *anna), 2);

        for (QByteArray *text : {&path, &host, &authorization, &body}) {
            text->replace("@TOKEN@", anna->toUtf8()).replace("@BORIS@", boris->toUtf8());
            text->replace("@MEETING@", "2").replace("@FILE@", m_recordingBytes);
            text->replace("@PORT@", QByteArray::number(service.port()));
        }
        httplib::Headers headers{{"Host", host.toStdString()}};
        if (!authorization.isEmpty())
            headers.emplace("Authorization", authorization.toStdString());
        std::pair<int, QByteArray> answer;
        if (!method.isEmpty()) {
            const QByteArray length = method.endsWith(" chunked") ? "Transfer-Encoding: chunked"
                                                                  : "Content-Length: 209715200";
            answer = answerToHead(service.port(), method.split(' ')[0] + ' ' + path +
                                                      " HTTP/1.1\r\nHost: " + host + "\r\n" +
                                                      length + "\r\n\r\n");
        } else {
            const httplib::Result result =
                body.isEmpty()
                    ? service.client()->Get(path.constData(), headers)
                    : service.client()->Post(path.constData(), headers, body.toStdString(),
                                             contentType.constData());
            QVERIFY(result);
            answer = {result->status, QByteArray::fromStdString(result->body)};
        }
        QCOMPARE(answer.first, status);
        // The API answers in JSON, the pages in HTML.
        const std::string text =
            path.startsWith("/api/")
                ? nlohmann::json::parse(answer.second.toStdString()).at("error").get<std::string>()
                : answer.second.toStdString();
        QVERIFY2(QString::fromStdString(text).contains(error), text.c_str());

        // Nothing stored, nothing left behind, the first recording intact, still serving.
        QVERIFY(service.audio(2).isEmpty());
        QVERIFY(service.leftoverUploads().isEmpty());
        QCOMPARE(service.audio(1), m_recordingBytes);
        QVERIFY(runTask(AuthBridge::fetchProfile(service.baseUrl(), *anna)).succeeded());
    }

    // The meetings page and the recordings with this run's key, a recording with its owner's
    // token.
    void recordingsWithTheKeyOrTheirToken() {
        ServiceProcess service;
        const std::optional<QString> anna = signIn(service, "Анна");
        QVERIFY(anna && createMeeting(service, *anna) == 1);
        QVERIFY(
            runTask(AuthBridge::uploadAudio(service.baseUrl(), *anna, 1, m_recording)).succeeded());
        const std::string link =
            "/meetings/1/audio.m4a" + service.meetingsPath().mid(1).toStdString();
        const httplib::Result page = service.client()->Get(service.meetingsPath().constData());
        QVERIFY(service.meetingsPath().startsWith("/?key=") && page &&
                page->body.find("src=\"" + link + "\"") != std::string::npos);
        const httplib::Result keyed = service.client()->Get(link.c_str());
        const httplib::Result owned = service.client()->Get(
            "/meetings/1/audio.m4a", {{"Authorization", "Bearer " + anna->toStdString()}});
        QVERIFY(keyed && owned);
        QCOMPARE(QByteArray::fromStdString(keyed->body), m_recordingBytes);
        QCOMPARE(QByteArray::fromStdString(owned->body), m_recordingBytes);
    }

    void oversizedUploadsAreRefusedWithoutTheBody() {
        ServiceProcess service({QStringLiteral("--max-upload"), QStringLiteral("65536")});
        const std::optional<QString> token = signIn(service, "Анна");
        QVERIFY(token);
        const std::int64_t meeting = createMeeting(service, *token);
        const std::string path = "/api/meetings/" + std::to_string(meeting) + "/audio";

        // Sent in chunks, with no length announced: counted while it arrives.
        const std::string head = "--b\r\nContent-Disposition: form-data; name=\"audio\"; "
                                 "filename=\"a\"\r\n\r\n";
        const std::string chunk(16 * 1024, 'x');
        int sent = 0;
        const httplib::Result chunked = service.client()->Post(
            path.c_str(), {{"Authorization", "Bearer " + token->toStdString()}},
            [&](std::size_t, httplib::DataSink &sink) {
                if (sent++ == 0)
                    return sink.write(head.data(), head.size());
                if (sent > 64)
                    sink.done();
                return sent > 64 || sink.write(chunk.data(), chunk.size());
            },
            "multipart/form-data; boundary=b");
        QVERIFY(chunked);
        QCOMPARE(chunked->status, 413);

        // The program's own upload of a recording over the limit gets the answer, not a reset.
        const QString big = m_files.filePath(QStringLiteral("big.m4a"));
        QVERIFY(encodeTone(big, QStringLiteral("anoisesrc=d=10:sample_rate=44100")));
        const auto upload =
            runTask(AuthBridge::uploadAudio(service.baseUrl(), *token, meeting, big));
        QCOMPARE(upload.errorAs<URLError>().value().code(), URLError::Code::badServerResponse);
        QVERIFY(service.leftoverUploads().isEmpty());
        QVERIFY(service.running());
    }
};

QTEST_GUILESS_MAIN(TestDevService)
#include "tst_devservice.moc"
