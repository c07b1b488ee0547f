// The reference service as a developer runs it: its own process on a free loopback port with a
// private data folder, answering the program's own client (AuthBridge) through sign-in,
// profile, meetings and upload, refusing bad uploads without going down, and keeping its
// tokens and meetings across a kill and a restart.

#include "AuthBridge.h"
#include "DecodingError.h"
#include "DevStore.h"
#include "EncodeTone.h"
#include "TaskOutcome.h"
#include "URLError.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>
#include <optional>

namespace {

// One running tolvex-devservice, on a data folder of its own unless given one.
class ServiceProcess {
public:
    explicit ServiceProcess(QStringList extraArguments = {}, const QString &dataDir = {})
        : m_dataDir(dataDir.isEmpty() ? m_ownData.path() : dataDir)
        , m_extra(std::move(extraArguments)) {}
    ~ServiceProcess() { kill(); }
    ServiceProcess(const ServiceProcess &) = delete;
    ServiceProcess &operator=(const ServiceProcess &) = delete;

    // Starts the service and reads the API address from its first line.
    bool start() {
        m_process = std::make_unique<QProcess>();
        m_process->setProcessChannelMode(QProcess::SeparateChannels);
        m_process->start(QStringLiteral(TOLVEX_DEVSERVICE_PATH),
                         QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                     QStringLiteral("--data"), m_dataDir} +
                             m_extra);
        if (!m_process->waitForStarted(10000))
            return false;
        while (!m_process->canReadLine()) {
            if (!m_process->waitForReadyRead(15000))
                return false;
        }
        const QString line = QString::fromUtf8(m_process->readLine()).trimmed();
        static const QRegularExpression pattern(
            QStringLiteral("^Tolvex devservice: (http://127\\.0\\.0\\.1:(\\d+))/api$"));
        const QRegularExpressionMatch match = pattern.match(line);
        if (!match.hasMatch())
            return false;
        m_origin = match.captured(1);
        m_port = match.captured(2).toInt();
        return true;
    }

    // As a crash would: no chance to finish anything.
    void kill() {
        if (m_process && m_process->state() != QProcess::NotRunning) {
            m_process->kill();
            m_process->waitForFinished(10000);
        }
    }

    [[nodiscard]] bool running() const {
        return m_process && m_process->state() == QProcess::Running;
    }
    [[nodiscard]] QString origin() const { return m_origin; }
    [[nodiscard]] QString baseUrl() const { return m_origin + QStringLiteral("/api"); }
    [[nodiscard]] QString dataDir() const { return m_dataDir; }
    [[nodiscard]] QString audioFile(std::int64_t meeting) const {
        return m_dataDir + QStringLiteral("/audio/%1.m4a").arg(meeting);
    }
    // Temporary files of uploads that were neither finished nor cleaned away.
    [[nodiscard]] QStringList leftoverUploads() const {
        return QDir(m_dataDir + QStringLiteral("/audio"))
            .entryList({QStringLiteral(".upload-*")}, QDir::Files | QDir::Hidden);
    }
    // A fresh connection for every use, so that each check also shows the service accepts.
    [[nodiscard]] std::unique_ptr<httplib::Client> client() const {
        auto client = std::make_unique<httplib::Client>("127.0.0.1", m_port);
        client->set_read_timeout(30, 0);
        client->set_write_timeout(30, 0);
        return client;
    }

private:
    QTemporaryDir m_ownData;
    QString m_dataDir;
    QStringList m_extra;
    std::unique_ptr<QProcess> m_process;
    QString m_origin;
    int m_port = 0;
};

// Opens the "bot" page the way a browser does and presses its button.
bool confirmInBrowser(const ServiceProcess &service, const QString &botUrl,
                      const std::string &firstName) {
    if (!botUrl.startsWith(service.origin() + QStringLiteral("/bot?")))
        return false;
    const std::string path = botUrl.mid(service.origin().size()).toStdString();
    const httplib::Result page = service.client()->Get(path.c_str());
    if (!page || page->status != 200)
        return false;
    const QString html = QString::fromStdString(page->body);
    if (!html.contains(QStringLiteral("Подтвердить вход")))
        return false;
    static const QRegularExpression form(
        QStringLiteral("<form method=\"post\" action=\"([^\"]+)\">"));
    static const QRegularExpression nonce(
        QStringLiteral("<input type=\"hidden\" name=\"nonce\" value=\"([^\"]+)\">"));
    const QRegularExpressionMatch formMatch = form.match(html);
    const QRegularExpressionMatch nonceMatch = nonce.match(html);
    if (!formMatch.hasMatch() || !nonceMatch.hasMatch())
        return false;
    const httplib::Params fields{{"nonce", nonceMatch.captured(1).toStdString()},
                                 {"first_name", firstName}};
    const httplib::Result confirmed =
        service.client()->Post(formMatch.captured(1).toStdString().c_str(), fields);
    return confirmed && confirmed->status == 200 &&
           QString::fromStdString(confirmed->body).contains(QStringLiteral("Вход подтверждён"));
}

// The whole sign-in through the program's client; the token, or nothing.
std::optional<QString> signIn(const ServiceProcess &service, const std::string &firstName) {
    const auto login = runTask(AuthBridge::startAppLogin(service.baseUrl()));
    if (!login.succeeded())
        return std::nullopt;
    if (!confirmInBrowser(service, login.value->botUrl, firstName))
        return std::nullopt;
    const auto poll = runTask(AuthBridge::pollAppLogin(service.baseUrl(), login.value->nonce));
    if (!poll.succeeded())
        return std::nullopt;
    return *poll.value;
}

std::optional<std::int64_t> createMeeting(const ServiceProcess &service, const QString &token) {
    const auto meeting = runTask(AuthBridge::createMeeting(service.baseUrl(), token));
    if (!meeting.succeeded())
        return std::nullopt;
    return meeting.value->id;
}

struct Account {
    QString token;
    std::int64_t meeting = 0;
};

// Starts the service, signs `firstName` in and creates a meeting of theirs.
std::optional<Account> startWithAccount(ServiceProcess &service,
                                        const std::string &firstName = "Анна") {
    if (!service.start())
        return std::nullopt;
    const std::optional<QString> token = signIn(service, firstName);
    const std::optional<std::int64_t> meeting =
        token ? createMeeting(service, *token) : std::nullopt;
    if (!meeting)
        return std::nullopt;
    return Account{*token, *meeting};
}

std::string audioPath(std::int64_t meeting) {
    return "/api/meetings/" + std::to_string(meeting) + "/audio";
}

QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::string multipartBody(const std::string &boundary, const std::string &disposition,
                          const std::string &file) {
    return "--" + boundary + "\r\nContent-Disposition: " + disposition +
           "\r\nContent-Type: audio/mp4\r\n\r\n" + file + "\r\n--" + boundary + "--\r\n";
}

httplib::Headers bearer(const QString &token) {
    return {{"Authorization", "Bearer " + token.toStdString()}};
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
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).isEmpty(),
                 "ffmpeg is missing: run scripts/install-deps");
        m_recording = m_files.filePath(QStringLiteral("tone.m4a"));
        QVERIFY(encodeTone(m_recording,
                           QStringLiteral("sine=frequency=440:sample_rate=44100:duration=3")));
        m_recordingBytes = readFile(m_recording);
        QVERIFY(!m_recordingBytes.isEmpty());
    }

    void signInProfileMeetingUploadListingAndRestart() {
        ServiceProcess service;
        QVERIFY(service.start());

        const auto login = runTask(AuthBridge::startAppLogin(service.baseUrl()));
        QVERIFY(login.succeeded());
        QCOMPARE(login.value->expiresInSeconds, 300);
        QCOMPARE(login.value->botUrl,
                 service.origin() + QStringLiteral("/bot?start=") + login.value->nonce);

        QVERIFY(confirmInBrowser(service, login.value->botUrl, "Анна"));
        const auto done = runTask(AuthBridge::pollAppLogin(service.baseUrl(), login.value->nonce));
        QVERIFY(done.succeeded());
        QVERIFY(done.value->has_value());
        const QString token = **done.value;
        QVERIFY(token.size() >= 32);

        const auto profile = runTask(AuthBridge::fetchProfile(service.baseUrl(), token));
        QVERIFY(profile.succeeded());
        QVERIFY(profile.value->id > 0);
        QCOMPARE(profile.value->telegramUsername, std::optional(QStringLiteral("Анна")));

        const auto meeting = runTask(AuthBridge::createMeeting(service.baseUrl(), token));
        QVERIFY(meeting.succeeded());
        QCOMPARE(meeting.value->status, QStringLiteral("created"));
        const std::int64_t id = meeting.value->id;
        QCOMPARE(createMeeting(service, token), std::optional(id + 1));

        const auto upload =
            runTask(AuthBridge::uploadAudio(service.baseUrl(), token, id, m_recording));
        QVERIFY(upload.succeeded());
        QCOMPARE(readFile(service.audioFile(id)), m_recordingBytes);

        const httplib::Result page = service.client()->Get("/");
        QVERIFY(page);
        QCOMPARE(page->status, 200);
        const QString html = QString::fromStdString(page->body);
        const int section = html.indexOf(QStringLiteral("Встреча №%1<").arg(id));
        QVERIFY(section >= 0);
        const QString mine =
            html.mid(section, html.indexOf(QStringLiteral("</section>"), section) - section);
        QVERIFY(mine.contains(QStringLiteral("<svg")));
        QVERIFY(mine.contains(QStringLiteral("Длительность 0:03")));
        QVERIFY(mine.contains(
            QStringLiteral("<audio controls preload=\"none\" src=\"/meetings/%1/audio.m4a\"")
                .arg(id)));
        QVERIFY(html.contains(QStringLiteral("Встреча №%1<").arg(id + 1)));

        const std::string audioUrl = "/meetings/" + std::to_string(id) + "/audio.m4a";
        const httplib::Result audio = service.client()->Get(audioUrl.c_str());
        QVERIFY(audio);
        QCOMPARE(audio->status, 200);
        QCOMPARE(audio->get_header_value("Content-Type"), std::string("audio/mp4"));
        QCOMPARE(QByteArray::fromStdString(audio->body), m_recordingBytes);
        QVERIFY(service.leftoverUploads().isEmpty());

        // Killed and started again on the same folder, it still knows the token, the meetings
        // and their recordings, and goes on counting meetings where it stopped.
        service.kill();
        ServiceProcess again({}, service.dataDir());
        QVERIFY(again.start());
        const auto kept = runTask(AuthBridge::fetchProfile(again.baseUrl(), token));
        QVERIFY(kept.succeeded());
        QCOMPARE(kept.value->telegramUsername, std::optional(QStringLiteral("Анна")));
        const QString after = QString::fromStdString(again.client()->Get("/")->body);
        QVERIFY(after.contains(QStringLiteral("Встреча №%1<").arg(id)));
        QVERIFY(after.contains(QStringLiteral("Длительность 0:03")));
        QVERIFY(after.contains(QStringLiteral("<svg")));
        QCOMPARE(QByteArray::fromStdString(again.client()->Get(audioUrl.c_str())->body),
                 m_recordingBytes);
        QCOMPARE(createMeeting(again, token), std::optional(id + 2));
    }

    void nonceStatuses() {
        ServiceProcess service({QStringLiteral("--nonce-lifetime"), QStringLiteral("1")});
        QVERIFY(service.start());
        const auto login = runTask(AuthBridge::startAppLogin(service.baseUrl()));
        QVERIFY(login.succeeded());
        QCOMPARE(login.value->expiresInSeconds, 1);
        const std::string pollPath = "/api/auth/app-login/poll/" + login.value->nonce.toStdString();

        const httplib::Result fresh = service.client()->Get(pollPath.c_str());
        QVERIFY(fresh);
        QCOMPARE(fresh->status, 200);
        QCOMPARE(nlohmann::json::parse(fresh->body).at("status").get<std::string>(), "pending");

        QThread::msleep(1300);
        const httplib::Result expired = service.client()->Get(pollPath.c_str());
        QVERIFY(expired);
        QCOMPARE(expired->status, 410);
        const auto clientSees =
            runTask(AuthBridge::pollAppLogin(service.baseUrl(), login.value->nonce));
        QCOMPARE(clientSees.errorAs<URLError>().value().code(),
                 URLError::Code::resourceUnavailable);
        // Nor can it still be confirmed.
        const std::string botPath = login.value->botUrl.mid(service.origin().size()).toStdString();
        QCOMPARE(service.client()->Get(botPath.c_str())->status, 410);
        const httplib::Result late = service.client()->Post(
            "/bot/confirm", httplib::Params{{"nonce", login.value->nonce.toStdString()}});
        QCOMPARE(late->status, 410);

        const httplib::Result unknown =
            service.client()->Get("/api/auth/app-login/poll/0123456789abcdef0123456789abcdef");
        QVERIFY(unknown);
        QCOMPARE(unknown->status, 404);
        const auto unknownSees =
            runTask(AuthBridge::pollAppLogin(service.baseUrl(), QStringLiteral("nope")));
        QCOMPARE(unknownSees.errorAs<URLError>().value().code(),
                 URLError::Code::resourceUnavailable);
    }

    void autoConfirmForDemos() {
        ServiceProcess service({QStringLiteral("--auto-confirm-after-polls"), QStringLiteral("2")});
        QVERIFY(service.start());
        const auto login = runTask(AuthBridge::startAppLogin(service.baseUrl()));
        QVERIFY(login.succeeded());
        const auto first = runTask(AuthBridge::pollAppLogin(service.baseUrl(), login.value->nonce));
        QVERIFY(first.succeeded() && !first.value->has_value());
        const auto second =
            runTask(AuthBridge::pollAppLogin(service.baseUrl(), login.value->nonce));
        QVERIFY(second.succeeded() && second.value->has_value());
        // Nobody typed a name: the user is the demo one.
        const auto profile = runTask(AuthBridge::fetchProfile(service.baseUrl(), **second.value));
        QCOMPARE(profile.value->telegramUsername,
                 std::optional(QString::fromUtf8(DevStore::kDefaultFirstName)));
    }

    void onlyTheOwnersTokenGetsIn() {
        ServiceProcess service;
        const std::optional<Account> anna = startWithAccount(service);
        const std::optional<QString> boris = signIn(service, "Борис");
        QVERIFY(anna && boris);
        const QString wrong = anna->token + QStringLiteral("0");

        const auto profile = runTask(AuthBridge::fetchProfile(service.baseUrl(), wrong));
        QCOMPARE(profile.errorAs<URLError>().value().code(),
                 URLError::Code::userAuthenticationRequired);
        // The client reads the create answer whatever its status: an error body does not decode.
        QVERIFY(
            runTask(AuthBridge::createMeeting(service.baseUrl(), wrong)).errorAs<DecodingError>());

        const auto client = service.client();
        QCOMPARE(client->Get("/api/auth/me")->status, 401);
        QCOMPARE(
            client->Get("/api/auth/me", {{"Authorization", "Basic " + anna->token.toStdString()}})
                ->status,
            401);
        QCOMPARE(client->Post("/api/meetings", bearer(wrong), "{}", "application/json")->status,
                 401);
        QCOMPARE(client->Post("/api/meetings", "{}", "application/json")->status, 401);
        QCOMPARE(client->Get("/api/auth/me", bearer(anna->token))->status, 200);

        // A recording goes only to a meeting of the token's own user.
        const std::string body =
            multipartBody("B0UNDARY", "form-data; name=\"audio\"; filename=\"recording.m4a\"",
                          m_recordingBytes.toStdString());
        const auto post = [&](const std::string &path, const QString &token) {
            return service.client()
                ->Post(path.c_str(), bearer(token), body, "multipart/form-data; boundary=B0UNDARY")
                ->status;
        };
        const std::string annasPath = audioPath(anna->meeting);
        QCOMPARE(post(annasPath, *boris), 404);
        QCOMPARE(post(annasPath, wrong), 401);
        QCOMPARE(post("/api/meetings/999/audio", anna->token), 404);
        QCOMPARE(post("/api/meetings/abc/audio", anna->token), 404);
        QVERIFY(!QFile::exists(service.audioFile(anna->meeting)));
        QCOMPARE(post(annasPath, anna->token), 201);
        QVERIFY(service.leftoverUploads().isEmpty());
    }

    void namesAreEscapedInPages() {
        ServiceProcess service;
        const std::optional<Account> account =
            startWithAccount(service, "<script>alert('x')</script> & Co");
        QVERIFY(account);
        const QString html = QString::fromStdString(service.client()->Get("/")->body);
        QVERIFY(!html.contains(QStringLiteral("<script>")));
        QVERIFY(html.contains(
            QStringLiteral("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; Co")));
        const auto profile = runTask(AuthBridge::fetchProfile(service.baseUrl(), account->token));
        QCOMPARE(profile.value->telegramUsername,
                 std::optional(QStringLiteral("<script>alert('x')</script> & Co")));
    }

    void badUploadsAreRefused_data() {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("error");
        const std::string boundary = "7E1C5A2B-0000-4000-8000-ABCDEF012345";
        const std::string opening = "--" + boundary + "\r\nContent-Disposition: ";
        const std::string audio = "form-data; name=\"audio\"; filename=\"recording.m4a\"";
        // @FILE@ stands for the recording, put in by the test itself.
        const auto row = [&](const char *tag, const std::string &body, int status,
                             const char *error, const char *type = nullptr) {
            QTest::newRow(tag) << (type ? QByteArray(type)
                                        : QByteArray::fromStdString(
                                              "multipart/form-data; boundary=" + boundary))
                               << QByteArray::fromStdString(body) << status
                               << QString::fromUtf8(error);
        };
        row("malformed body", "this is not multipart at all", 400, "границ");
        row("wrong part name",
            multipartBody(boundary, "form-data; name=\"file\"; filename=\"recording.m4a\"",
                          "@FILE@"),
            400, "\"audio\"");
        row("missing part", "--" + boundary + "--\r\n", 400, "нет части");
        row("part that is not a file",
            multipartBody(boundary, "form-data; name=\"audio\"", "@FILE@"), 400, "имени файла");
        row("extra part",
            opening + audio + "\r\n\r\n@FILE@\r\n" + opening +
                "form-data; name=\"x\"\r\n\r\n1\r\n--" + boundary + "--\r\n",
            400, "больше одной части");
        row("no closing delimiter", opening + audio + "\r\n\r\n@FILE@", 400, "оборвалось");
        row("not multipart", "{}", 400, "multipart/form-data", "application/json");
        row("not a recording", multipartBody(boundary, audio, "just some text"), 400,
            "аудиозапись");
        row("over the limit",
            multipartBody(boundary, audio, "@FILE@" + std::string(300 * 1024, 'x')), 413, "больше");
    }
    void badUploadsAreRefused() {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, error);
        body.replace("@FILE@", m_recordingBytes);

        ServiceProcess service({QStringLiteral("--max-upload"), QStringLiteral("262144")});
        const std::optional<Account> anna = startWithAccount(service);
        QVERIFY(anna);
        const httplib::Result answer =
            service.client()->Post(audioPath(anna->meeting).c_str(), bearer(anna->token),
                                   body.toStdString(), contentType.toStdString().c_str());
        QVERIFY(answer);
        QCOMPARE(answer->status, status);
        const nlohmann::json json = nlohmann::json::parse(answer->body);
        const QString text = QString::fromStdString(json.at("error").get<std::string>());
        QVERIFY2(text.contains(error), qPrintable(text));

        QVERIFY(!QFile::exists(service.audioFile(anna->meeting)));
        QVERIFY(service.leftoverUploads().isEmpty());
        // Still serving: the program's own upload of the real recording goes through.
        QVERIFY(service.running());
        QVERIFY(runTask(AuthBridge::uploadAudio(service.baseUrl(), anna->token, anna->meeting,
                                                m_recording))
                    .succeeded());
        QCOMPARE(readFile(service.audioFile(anna->meeting)), m_recordingBytes);
    }

    void oversizedUploadsAreRefusedWithoutTheBody() {
        ServiceProcess service({QStringLiteral("--max-upload"), QStringLiteral("65536")});
        const std::optional<Account> anna = startWithAccount(service);
        QVERIFY(anna);
        const QString token = anna->token;
        const std::string type = "multipart/form-data; boundary=b";

        // Sent in chunks, with no length announced: counted while it arrives.
        const std::string chunk(16 * 1024, 'x');
        int sent = 0;
        const httplib::Result chunked = service.client()->Post(
            audioPath(anna->meeting).c_str(), bearer(token),
            [&](std::size_t, httplib::DataSink &sink) {
                if (sent == 0)
                    sink.write("--b\r\nContent-Disposition: form-data; name=\"audio\"; "
                               "filename=\"a\"\r\n\r\n",
                               66);
                if (++sent > 64) {
                    sink.done();
                    return true;
                }
                return sink.write(chunk.data(), chunk.size());
            },
            type.c_str());
        QVERIFY(chunked);
        QCOMPARE(chunked->status, 413);
        QVERIFY(service.leftoverUploads().isEmpty());

        // The program's own upload of a recording over the limit fails.
        const QString big = m_files.filePath(QStringLiteral("big.m4a"));
        QVERIFY(encodeTone(big, QStringLiteral("anoisesrc=d=10:sample_rate=44100")));
        QVERIFY(QFileInfo(big).size() > 65536);
        const auto upload =
            runTask(AuthBridge::uploadAudio(service.baseUrl(), token, anna->meeting, big));
        QCOMPARE(upload.errorAs<URLError>().value().code(), URLError::Code::badServerResponse);
        QVERIFY(service.leftoverUploads().isEmpty());

        QVERIFY(service.running());
        QCOMPARE(service.client()->Get("/api/auth/me", bearer(token))->status, 200);
    }

    void commandLine() {
        QProcess help;
        help.start(QStringLiteral(TOLVEX_DEVSERVICE_PATH), {QStringLiteral("--help")});
        QVERIFY(help.waitForFinished(10000));
        QCOMPARE(help.exitCode(), 0);
        const QString usage = QString::fromUtf8(help.readAllStandardOutput());
        for (const char *option :
             {"--port", "--data", "--nonce-lifetime", "--max-upload", "--auto-confirm-after-polls"})
            QVERIFY2(usage.contains(QLatin1String(option)), option);

        QProcess wrong;
        wrong.start(QStringLiteral(TOLVEX_DEVSERVICE_PATH),
                    {QStringLiteral("--port"), QStringLiteral("http")});
        QVERIFY(wrong.waitForFinished(10000));
        QCOMPARE(wrong.exitCode(), 2);

        // A state file it cannot read stops it instead of being overwritten.
        ServiceProcess service;
        QFile state(service.dataDir() + QStringLiteral("/state.json"));
        QVERIFY(state.open(QIODevice::WriteOnly));
        state.write("{ broken");
        state.close();
        QVERIFY(!service.start());
        QCOMPARE(readFile(state.fileName()), QByteArray("{ broken"));
    }
};

QTEST_GUILESS_MAIN(TestDevService)
#include "tst_devservice.moc"
