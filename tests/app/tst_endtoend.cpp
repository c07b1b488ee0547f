// The real program under a private X display with an XEmbed tray, a private sound server and
// the programmable service: a person clicks the tray icon, signs in through the bot, records
// a tone, stops, and quits through the tray menu. Runs inside with-keyring.sh, so the
// program's token goes to a real, private Secret Service and no StatusNotifier host exists.
// Along the way, and in launches of their own, the token is looked for wherever it must not go:
// files, printed output, process arguments and environment, other hosts and origins.

#include "AudioProbe.h"
#include "PulseServer.h"
#include "TestHttpServer.h"
#include "TestHttpsServer.h"
#include "XDisplay.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString botName = QStringLiteral("TolvexTestBot");
const QString nonce = QStringLiteral("e2e-nonce");
const QString meetingAudioPath = QStringLiteral("/api/meetings/42/audio");
constexpr double toneHz = 660.0;

TestAnswer jsonAnswer(const QJsonObject &object, int status = 200) {
    return TestAnswer::json(status, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// Long and new in every run, so that it can only be found where the program put it, never in a
// file an earlier run left behind.
QString distinctiveToken() {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    QString token = QStringLiteral("tvx_");
    for (int i = 0; i < 44; ++i)
        token += QLatin1Char(alphabet[QRandomGenerator::system()->bounded(64)]);
    return token;
}

// The token as sent, or as UTF-16 text of either byte order (a QString written out whole).
bool holdsToken(const QByteArray &bytes, const QString &token) {
    const QByteArray utf8 = token.toUtf8();
    QByteArray littleEndian, bigEndian;
    for (const char c : utf8) {
        littleEndian.append(c).append('\0');
        bigEndian.append('\0').append(c);
    }
    return bytes.contains(utf8) || bytes.contains(littleEndian) || bytes.contains(bigEndian);
}

bool requestHoldsToken(const RecordedRequest &request, const QString &token) {
    QByteArray raw = request.method + ' ' + request.target + "\r\n";
    for (const auto &[name, value] : request.headers)
        raw += name + ": " + value + "\r\n";
    return holdsToken(raw + request.body, token);
}

bool isInside(const QString &path, const QString &folder) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const QString root = QFileInfo(folder).canonicalFilePath();
    return !root.isEmpty() && (canonical == root || canonical.startsWith(root + QLatin1Char('/')));
}

// Regular files under `roots` whose bytes hold the token, and files of ours that could not be
// read; `allowed` (a folder) is not looked at.
QStringList filesHoldingToken(const QStringList &roots, const QString &allowed,
                              const QString &token) {
    QSet<QString> seen;
    QStringList found;
    for (const QString &root : roots) {
        if (root.isEmpty())
            continue;
        QDirIterator files(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                           QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QFileInfo info(files.next());
            const QString path = info.canonicalFilePath();
            if (!info.isFile() || path.isEmpty() || seen.contains(path) || isInside(path, allowed))
                continue;
            seen.insert(path);
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                if (info.ownerId() == ::getuid())
                    found << path + QStringLiteral(" (unreadable)");
            } else if (holdsToken(file.readAll(), token)) {
                found << path;
            }
        }
    }
    return found;
}

QByteArray readProc(qint64 pid, const char *part) {
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(part)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Processes whose arguments or environment hold the token, as "PID cmdline|environ".
QStringList processesHoldingToken(const QString &token) {
    QStringList found;
    for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 pid = name.toLongLong(&number);
        for (const char *part : {"cmdline", "environ"}) {
            if (number && holdsToken(readProc(pid, part), token))
                found << QStringLiteral("%1 %2 (%3)")
                             .arg(name, QLatin1String(part),
                                  readProc(pid, "cmdline").split('\0').first());
        }
    }
    return found;
}

// Entries of a folder that are not private, with their modes: the folder itself and every
// folder in it must be 0700, every file 0600.
QStringList notPrivate(const QString &folder) {
    QStringList paths{folder};
    QDirIterator entries(folder,
                         QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (entries.hasNext())
        paths << entries.next();
    QStringList open;
    for (const QString &path : std::as_const(paths)) {
        struct stat info {};
        if (::lstat(QFile::encodeName(path).constData(), &info) != 0) {
            // Removed since it was listed: nothing there to be read any more.
            continue;
        }
        const unsigned mode = info.st_mode & 07777;
        const bool isPrivate =
            S_ISDIR(info.st_mode) ? mode == 0700 : S_ISREG(info.st_mode) && mode == 0600;
        if (!isPrivate)
            open << QStringLiteral("%1 %2").arg(path).arg(mode, 4, 8, QLatin1Char('0'));
    }
    return open;
}

// The first IPv4 address of this machine that is not loopback.
std::optional<QString> nonLoopbackIpv4() {
    for (const QHostAddress &address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback() &&
            !address.isLinkLocal())
            return address.toString();
    }
    return std::nullopt;
}

// The keyring item the program reads for a service origin other than its built-in one: the
// schema name and attributes the program looks up. If they ever drift, the redirect test sees
// no profile check carrying the stored token.
QStringList originItem(const QString &origin) {
    return {QStringLiteral("xdg:schema"), QStringLiteral("ru.tolvex.AccessToken.Origin"),
            QStringLiteral("service"),    QStringLiteral("Толвекс"),
            QStringLiteral("account"),    QStringLiteral("Авторизация Telegram"),
            QStringLiteral("origin"),     origin};
}

bool storeToken(const QString &origin, const QString &token) {
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"),
               QStringList{QStringLiteral("store"), QStringLiteral("--label=tolvex test")} +
                   originItem(origin));
    if (!tool.waitForStarted(5000))
        return false;
    // On standard input, as a person would type it: not on a command line.
    tool.write(token.toUtf8());
    tool.closeWriteChannel();
    return tool.waitForFinished(10000) && tool.exitStatus() == QProcess::NormalExit &&
           tool.exitCode() == 0;
}

std::optional<QString> storedToken(const QString &origin) {
    QProcess tool;
    tool.start(QStringLiteral("secret-tool"),
               QStringList{QStringLiteral("lookup")} + originItem(origin));
    if (!tool.waitForFinished(10000) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(tool.readAllStandardOutput());
}

// The service as the program meets it: the bot confirms the sign-in on the third poll.
class FakeService {
public:
    FakeService() {
        m_server.setHandler([this](const RecordedRequest &request) { return answer(request); });
    }
    TestHttpServer &server() { return m_server; }

    // The token the bot hands out and the service accepts.
    [[nodiscard]] QString token() const {
        std::lock_guard lock(m_mutex);
        return m_token;
    }
    void setToken(const QString &token) {
        std::lock_guard lock(m_mutex);
        m_token = token;
    }
    // While set, the profile check is answered with this instead.
    void answerProfileWith(std::optional<TestAnswer> answer) {
        std::lock_guard lock(m_mutex);
        m_profileAnswer = std::move(answer);
    }

    [[nodiscard]] std::optional<RecordedRequest> request(const QByteArray &method,
                                                         const QString &path) const {
        for (const RecordedRequest &request : m_server.requests()) {
            if (request.method == method && request.target == path.toUtf8()) {
                return request;
            }
        }
        return std::nullopt;
    }

private:
    TestAnswer answer(const RecordedRequest &request) {
        const QByteArray &target = request.target;
        if (request.method == "POST" && target == "/api/auth/app-login/start") {
            return jsonAnswer(
                {{"nonce", nonce},
                 {"bot_url", QStringLiteral("https://t.me/%1?start=%2").arg(botName, nonce)},
                 {"expires_in_seconds", 120}});
        }
        if (request.method == "GET" && target == "/api/auth/app-login/poll/" + nonce.toUtf8()) {
            if (++m_polls < 3) {
                return jsonAnswer({{"status", "pending"}});
            }
            return jsonAnswer({{"status", "ok"}, {"token", token()}});
        }
        if (request.method == "GET" && target == "/api/auth/me") {
            std::lock_guard lock(m_mutex);
            if (m_profileAnswer) {
                return *m_profileAnswer;
            }
            if (request.header("Authorization") != "Bearer " + m_token.toUtf8()) {
                return jsonAnswer({{"detail", "unauthorized"}}, 401);
            }
            return jsonAnswer({{"user_id", 7}, {"first_name", QStringLiteral("Анна")}});
        }
        if (request.method == "POST" && target == "/api/meetings") {
            return jsonAnswer({{"id", 42}, {"status", "created"}});
        }
        if (request.method == "POST" && target == meetingAudioPath.toUtf8()) {
            return jsonAnswer({{"status", "uploaded"}}, 201);
        }
        return jsonAnswer({{"detail", "not found"}}, 404);
    }

    TestHttpServer m_server;
    std::atomic<int> m_polls = 0;
    mutable std::mutex m_mutex;
    QString m_token = distinctiveToken();
    std::optional<TestAnswer> m_profileAnswer;
};

// Polls `done` until it holds or `ms` pass; keeps the event loop (and the server) going.
bool waitFor(const std::function<bool()> &done, int ms) {
    const QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (done()) {
            return true;
        }
        QTest::qWait(200);
    }
    return done();
}

bool near(QRgb pixel, QRgb colour) {
    constexpr int tolerance = 8;
    return std::abs(qRed(pixel) - qRed(colour)) <= tolerance &&
           std::abs(qGreen(pixel) - qGreen(colour)) <= tolerance &&
           std::abs(qBlue(pixel) - qBlue(colour)) <= tolerance;
}

// The bounding box of the rows of `area` in which at least `minRun` pixels have `colour`:
// a filled button stands out that way, text of the same colour does not.
std::optional<QRect> filledBlock(const QImage &image, const QRect &area, QRgb colour,
                                 int minRun = 150) {
    QRect block;
    for (int y = area.top(); y <= area.bottom() && y < image.height(); ++y) {
        int count = 0, left = area.right(), right = area.left();
        for (int x = area.left(); x <= area.right() && x < image.width(); ++x) {
            if (near(image.pixel(x, y), colour)) {
                ++count;
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
        if (count >= minRun) {
            block = block.united(QRect(QPoint(left, y), QPoint(right, y)));
        }
    }
    return block.isNull() ? std::nullopt : std::optional<QRect>(block);
}

// The uploaded file, taken out of the multipart body.
QByteArray uploadedFile(const RecordedRequest &upload) {
    const QByteArray &body = upload.body;
    const qsizetype start = body.indexOf("\r\n\r\n");
    const QByteArray boundaryLine = body.left(body.indexOf("\r\n"));
    const qsizetype end = body.lastIndexOf("\r\n" + boundaryLine + "--");
    if (start < 0 || boundaryLine.isEmpty() || end <= start) {
        return {};
    }
    return body.mid(start + 4, end - start - 4);
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void withoutATrayAWindowSaysSoAndSigtermQuits();
    void signInRecordUploadAndQuit();
    void endedMidRecordingIsSentAfterTheRelaunch_data();
    void endedMidRecordingIsSentAfterTheRelaunch();
    void noTokenInTheClearToAnotherHost();
    void noTokenFollowsARedirectToAnotherOrigin_data();
    void noTokenFollowsARedirectToAnotherOrigin();
    void noTokenToAnUntrustedCertificate();
    void cleanup();

private:
    // For the service at `baseUrl`, the programmable one when empty.
    QProcessEnvironment programEnvironment(const QString &baseUrl = {}) const;
    void startProgram(const QString &baseUrl = {});
    // Where the program keeps its recordings, from the environment it runs with.
    QString recordingsFolder() const;
    // Every folder the program may write to: HOME, the XDG folders and the temporary folder.
    QStringList programFolders() const;
    std::optional<QRect> popoverGeometry() const;
    // Waits until the popover shows a filled block of `colour` and returns its middle.
    std::optional<QPoint> waitForButton(QRgb colour, int ms, const QString &shotName) const;
    // Opens the popover and waits for the sign-in button.
    bool opensOnTheSignInScreen(const QString &shotName) const;
    // Right-clicks the icon; the menu's place once it shows.
    std::optional<QRect> openMenu() const;
    // Starts the program and waits for its icon in the tray; true once m_icon holds its place.
    bool launchIntoTray(const QString &baseUrl = {});
    // Ends the program as the session does (SIGTERM) and waits for it.
    bool terminateProgram();

    std::unique_ptr<PulseServer> m_pulse;
    std::unique_ptr<FakeService> m_service;
    std::unique_ptr<XDisplay> m_display;
    QTemporaryDir m_folder;
    QString m_openedLog;
    QProcess m_program;
    // Everything the program printed, standard output and error, over all its launches.
    QByteArray m_printed;
    QRect m_icon;
};

void TestEndToEnd::initTestCase() {
    QVERIFY2(QFile::exists(QStringLiteral(TOLVEX_PROGRAM)), TOLVEX_PROGRAM);
    QVERIFY(m_folder.isValid());

    m_pulse = std::make_unique<PulseServer>();
    QVERIFY2(m_pulse->isRunning(), qPrintable(m_pulse->error()));
    m_service = std::make_unique<FakeService>();
    m_display = std::make_unique<XDisplay>();
    QVERIFY2(m_display->start(), qPrintable(m_display->error()));

    // Links the program opens land in a log instead of a browser or Telegram.
    m_openedLog = m_folder.filePath(QStringLiteral("opened.log"));
    QVERIFY(QDir(m_folder.path()).mkdir(QStringLiteral("bin")));
    QFile opener(m_folder.filePath(QStringLiteral("bin/xdg-open")));
    QVERIFY(opener.open(QIODevice::WriteOnly));
    opener.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$TOLVEX_E2E_OPENED\"\n");
    opener.close();
    QVERIFY(opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    // Kept for the token checks and passed on, so the log still shows it.
    m_program.setProcessChannelMode(QProcess::MergedChannels);
    connect(&m_program, &QProcess::readyReadStandardOutput, this, [this] {
        const QByteArray printed = m_program.readAllStandardOutput();
        m_printed += printed;
        std::fwrite(printed.constData(), 1, static_cast<std::size_t>(printed.size()), stderr);
    });
}

void TestEndToEnd::withoutATrayAWindowSaysSoAndSigtermQuits() {
    startProgram();
    QVERIFY(m_program.waitForStarted(5000));

    std::optional<QRect> notice;
    QVERIFY2(waitFor(
                 [&] {
                     const QList<qulonglong> shown =
                         m_display->visibleWindows(QStringLiteral("^tolvex$"));
                     if (shown.size() == 1) {
                         notice = m_display->geometry(shown.first());
                         return m_display->windowName(shown.first()) == QStringLiteral("Толвекс");
                     }
                     return false;
                 },
                 15000),
             "no window told that the tray is missing");
    QVERIFY(notice && notice->width() != 300 && notice->height() > 0);
    QVERIFY(m_program.state() == QProcess::Running);
    QDir().mkpath(QStringLiteral(TOLVEX_SHOTS));
    m_display->screenshot().copy(*notice).save(QStringLiteral(TOLVEX_SHOTS "/no-tray.png"));

    m_program.terminate();
    QVERIFY2(m_program.waitForFinished(10000), "SIGTERM did not end the program");
    QCOMPARE(m_program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_program.exitCode(), 0);
}

QProcessEnvironment TestEndToEnd::programEnvironment(const QString &baseUrl) const {
    QProcessEnvironment environment = m_display->environment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("TOLVEX_API_BASE_URL"),
                       baseUrl.isEmpty() ? m_service->server().baseUrl() : baseUrl);
    environment.insert(QStringLiteral("PATH"), m_folder.filePath(QStringLiteral("bin")) + ':' +
                                                   environment.value(QStringLiteral("PATH")));
    environment.insert(QStringLiteral("BROWSER"), QStringLiteral("true"));
    environment.insert(QStringLiteral("TOLVEX_E2E_OPENED"), m_openedLog);
    return environment;
}

void TestEndToEnd::startProgram(const QString &baseUrl) {
    m_program.setProcessEnvironment(programEnvironment(baseUrl));
    m_program.start(QStringLiteral(TOLVEX_PROGRAM), {});
}

bool TestEndToEnd::terminateProgram() {
    m_program.terminate();
    return m_program.waitForFinished(10000);
}

QString TestEndToEnd::recordingsFolder() const {
    return programEnvironment().value(QStringLiteral("XDG_DATA_HOME"),
                                      QDir::homePath() + QStringLiteral("/.local/share")) +
           QStringLiteral("/tolvex/recordings");
}

QStringList TestEndToEnd::programFolders() const {
    const QProcessEnvironment environment = programEnvironment();
    const QString home = environment.value(QStringLiteral("HOME"));
    return {
        home,
        environment.value(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share")),
        environment.value(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config")),
        environment.value(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache")),
        environment.value(QStringLiteral("XDG_RUNTIME_DIR")),
        environment.value(QStringLiteral("TMPDIR"), QStringLiteral("/tmp"))};
}

std::optional<QRect> TestEndToEnd::popoverGeometry() const {
    for (qulonglong window : m_display->visibleWindows(QStringLiteral("^tolvex$"))) {
        const std::optional<QRect> rect = m_display->geometry(window);
        if (rect && rect->width() == 300) {
            return rect;
        }
    }
    return std::nullopt;
}

std::optional<QPoint> TestEndToEnd::waitForButton(QRgb colour, int ms,
                                                  const QString &shotName) const {
    std::optional<QPoint> centre;
    waitFor(
        [&] {
            const std::optional<QRect> popover = popoverGeometry();
            if (!popover) {
                return false;
            }
            const QImage screen = m_display->screenshot();
            const std::optional<QRect> block = filledBlock(screen, *popover, colour);
            if (block && block->height() >= 20) {
                centre = block->center();
                QDir().mkpath(QStringLiteral(TOLVEX_SHOTS));
                screen.copy(*popover).save(QStringLiteral(TOLVEX_SHOTS "/%1.png").arg(shotName));
                return true;
            }
            return false;
        },
        ms);
    return centre;
}

// Also: the token the bot hands out goes into no file, nothing printed, no process argument
// or environment, and the recording's files are private while it runs.
void TestEndToEnd::signInRecordUploadAndQuit() {
    // The file scan below reads every file under HOME: only the private one will do.
    QVERIFY2(isInside(QDir::homePath(), QDir::tempPath()),
             "HOME is not the private folder with-keyring.sh makes (run through ctest)");
    const QString token = m_service->token();
    QVERIFY2(m_display->startTrayHost(), qPrintable(m_display->error()));

    // The icon docks into the tray.
    QVERIFY2(launchIntoTray(), "the tray icon did not appear");
    const QList<qulonglong> shown = m_display->visibleWindows(QStringLiteral("^tolvex$"));
    QVERIFY2(m_icon.top() < 32 && m_icon.right() < XDisplay::width &&
                 m_icon.left() > XDisplay::width / 2,
             "the icon should sit in the tray panel at the top right");

    // A second copy ends at once, successfully, and shows nothing.
    QProcess second;
    second.setProcessEnvironment(programEnvironment());
    second.start(QStringLiteral(TOLVEX_PROGRAM), {});
    QVERIFY(second.waitForFinished(10000));
    m_printed += second.readAllStandardOutput() + second.readAllStandardError();
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QTest::qWait(500);
    QCOMPARE(m_display->visibleWindows(QStringLiteral("^tolvex$")), shown);

    // A left click opens the popover just below the icon, inside the screen.
    m_display->click(m_icon.center());
    QVERIFY2(waitFor([&] { return popoverGeometry().has_value(); }, 5000),
             "the popover did not open");
    const QRect popover = *popoverGeometry();
    QVERIFY2(popover.top() > m_icon.bottom() && popover.top() <= m_icon.bottom() + 10,
             qPrintable(QStringLiteral("popover at y %1, icon bottom %2")
                            .arg(popover.top())
                            .arg(m_icon.bottom())));
    QVERIFY(popover.right() < XDisplay::width && popover.left() >= 0);

    // Sign-in: the white button, the bot's link opened as a Telegram link, the idle screen.
    const std::optional<QPoint> signIn = waitForButton(qRgb(255, 255, 255), 5000, "login");
    QVERIFY2(signIn, "no sign-in button on the popover");
    m_display->click(*signIn);
    QVERIFY2(waitFor([&] { return QFile::exists(m_openedLog); }, 10000), "no link was opened");
    QFile opened(m_openedLog);
    QVERIFY(opened.open(QIODevice::ReadOnly));
    const QByteArray link = opened.readAll().trimmed();
    // Telegram's own link where the desktop has Telegram, else the web link.
    QVERIFY2((link.startsWith("tg://resolve?") || link.startsWith("https://t.me/")) &&
                 link.contains(botName.toUtf8()) && link.contains("start=" + nonce.toUtf8()),
             link.constData());
    const std::optional<QPoint> start = waitForButton(qRgb(0x3d, 0x9b, 0x5c), 20000, "idle");
    QVERIFY2(start, "the idle screen did not appear after the sign-in");

    // Signed in, the token is in the program's memory: /proc shows none of it. The reads
    // themselves must work, or the search would find nothing anywhere.
    QVERIFY(readProc(m_program.processId(), "cmdline").contains(TOLVEX_PROGRAM));
    QVERIFY(readProc(m_program.processId(), "environ").contains("TOLVEX_API_BASE_URL="));
    QStringList leaks = processesHoldingToken(token);
    QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(QStringLiteral(", "))));

    // Escape closes the popover; left clicks open and close it again.
    m_display->key(QStringLiteral("Escape"));
    QVERIFY2(waitFor([&] { return !popoverGeometry(); }, 3000), "Escape did not close it");
    m_display->click(m_icon.center());
    QVERIFY2(waitFor([&] { return popoverGeometry().has_value(); }, 3000), "did not reopen");
    QTest::qWait(700);
    m_display->click(m_icon.center());
    QVERIFY2(waitFor([&] { return !popoverGeometry(); }, 3000), "a second click did not close");
    QTest::qWait(700);
    m_display->click(m_icon.center());
    QVERIFY2(waitFor([&] { return popoverGeometry().has_value(); }, 3000), "did not reopen");

    // Record a tone between "Начать запись" and "Остановить".
    const std::optional<QPoint> startAgain = waitForButton(qRgb(0x3d, 0x9b, 0x5c), 5000, "idle");
    QVERIFY(startAgain);
    m_display->click(*startAgain);
    const std::optional<QPoint> stop = waitForButton(qRgb(0xb5, 0x45, 0x45), 15000, "recording");
    QVERIFY2(stop, "the recording screen did not appear");
    QVERIFY(m_service->request("POST", QStringLiteral("/api/meetings")));
    QElapsedTimer playing;
    playing.start();
    m_pulse->play(QString::fromLatin1(PulseServer::speakers), PulseServer::tone(toneHz, 3.0, 0.5));

    // While it records: both tracks and the manifest are there, private, and so is the folder.
    const QDir recordings(recordingsFolder());
    QVERIFY2(waitFor(
                 [&] {
                     return recordings
                                .entryList({QStringLiteral("sys_*.m4a"),
                                            QStringLiteral("mic_*.m4a"), QStringLiteral("*.json")},
                                           QDir::Files)
                                .size() >= 3;
                 },
                 3000),
             qPrintable(recordings.entryList(QDir::AllEntries | QDir::Hidden).join(',')));
    const QStringList open = notPrivate(recordings.path());
    QVERIFY2(open.isEmpty(), qPrintable(open.join(QStringLiteral(", "))));
    leaks = processesHoldingToken(token);
    QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(QStringLiteral(", "))));
    // with-keyring.sh starts gnome-keyring-daemon with this process's XDG_DATA_HOME, and it
    // keeps its (encrypted) keyrings there: the one place the token belongs.
    const QString keyringStore =
        QDir(qEnvironmentVariable("XDG_DATA_HOME")).filePath(QStringLiteral("keyrings"));
    leaks = filesHoldingToken(programFolders(), keyringStore, token);
    QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(QStringLiteral(", "))));

    QTest::qWait(static_cast<int>(std::max<qint64>(0, 3500 - playing.elapsed())));
    m_display->click(*stop);

    QVERIFY2(
        waitFor([&] { return m_service->request("POST", meetingAudioPath).has_value(); }, 40000),
        "no upload arrived");
    QVERIFY2(waitForButton(qRgb(0x3d, 0x9b, 0x5c), 20000, "idle-after-upload"),
             "the idle screen did not come back after the upload");
    // Delivered: the tracks, the mixes and the manifest are all gone.
    QVERIFY2(waitFor([&] { return recordings.isEmpty(QDir::Files | QDir::Hidden); }, 10000),
             qPrintable(recordings.entryList(QDir::Files | QDir::Hidden).join(',')));

    const QByteArray file = uploadedFile(*m_service->request("POST", meetingAudioPath));
    QVERIFY(!file.isEmpty());
    const QString audioPath = m_folder.filePath(QStringLiteral("uploaded.m4a"));
    QFile audio(audioPath);
    QVERIFY(audio.open(QIODevice::WriteOnly));
    audio.write(file);
    audio.close();
    const std::vector<float> samples = AudioProbe::decode(audioPath);
    const double seconds = static_cast<double>(samples.size()) / 2.0 / 44100.0;
    QVERIFY2(seconds >= 3.0, qPrintable(QStringLiteral("%1 s recorded").arg(seconds)));
    double loudest = 0.0;
    for (double from = 0.0; from + 0.5 <= seconds; from += 0.25) {
        loudest =
            std::max(loudest, AudioProbe::toneAmplitude(samples, 0, toneHz, from, from + 0.5));
    }
    QVERIFY2(loudest > 0.25, qPrintable(QStringLiteral("tone amplitude %1").arg(loudest)));

    // A right click opens the one-item menu and closes the popover; a menu dismissed with
    // Escape leaves the next left click to the popover; choosing the item quits.
    std::optional<QRect> menu = openMenu();
    QVERIFY2(menu, "the tray menu did not open");
    QVERIFY2(waitFor([&] { return !popoverGeometry(); }, 3000), "the popover stayed open");
    m_display->key(QStringLiteral("Escape"));
    QVERIFY2(
        waitFor([&] { return m_display->visibleWindows(QStringLiteral("^tolvex$")).size() == 1; },
                3000),
        "Escape did not close the menu");
    m_display->click(m_icon.center());
    QVERIFY2(waitFor([&] { return popoverGeometry().has_value(); }, 3000),
             "the popover did not open after the menu was dismissed");
    menu = openMenu();
    QVERIFY2(menu, "the tray menu did not open again");
    m_display->click(menu->center());
    QVERIFY2(m_program.waitForFinished(10000), "the program did not quit");
    QCOMPARE(m_program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_program.exitCode(), 0);

    // Everything it wrote and printed from the sign-in to the quit; the keyring's own files
    // are the one place the token may be.
    leaks = filesHoldingToken(programFolders(), keyringStore, token);
    QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(QStringLiteral(", "))));
    QVERIFY2(!holdsToken(m_printed, token), "the program printed the token");
}

bool TestEndToEnd::launchIntoTray(const QString &baseUrl) {
    startProgram(baseUrl);
    if (!m_program.waitForStarted(5000))
        return false;
    QList<qulonglong> shown;
    if (!waitFor(
            [&] {
                shown = m_display->visibleWindows(QStringLiteral("^tolvex$"));
                return shown.size() == 1;
            },
            20000))
        return false;
    const std::optional<QRect> icon = m_display->geometry(shown.first());
    if (!icon || icon->isEmpty())
        return false;
    m_icon = *icon;
    return true;
}

void TestEndToEnd::endedMidRecordingIsSentAfterTheRelaunch_data() {
    QTest::addColumn<QString>("ending");
    QTest::newRow("killed (a crash, a power cut)") << QStringLiteral("kill");
    QTest::newRow("SIGTERM (the session ends)") << QStringLiteral("term");
    QTest::newRow("the tray menu's quit") << QStringLiteral("menu");
}

// A recording under way when the program ends, however it ends, is offered at the next launch
// and reaches its meeting with what was recorded; nothing of it is left after.
void TestEndToEnd::endedMidRecordingIsSentAfterTheRelaunch() {
    QFETCH(QString, ending);
    // Still signed in from the test before: the token is in the keyring.
    QVERIFY(launchIntoTray());
    m_display->click(m_icon.center());
    const std::optional<QPoint> start = waitForButton(qRgb(0x3d, 0x9b, 0x5c), 15000, "crash-idle");
    QVERIFY2(start, "the idle screen did not appear");
    m_display->click(*start);
    QVERIFY2(waitForButton(qRgb(0xb5, 0x45, 0x45), 15000, "crash-recording"),
             "the recording screen did not appear");
    m_pulse->play(QString::fromLatin1(PulseServer::speakers), PulseServer::tone(toneHz, 8.0, 0.5));
    QTest::qWait(5500);
    QElapsedTimer quitting;
    quitting.start();
    if (ending == QLatin1String("kill")) {
        m_program.kill();
    } else if (ending == QLatin1String("term")) {
        m_program.terminate();
    } else {
        const std::optional<QRect> menu = openMenu();
        QVERIFY2(menu, "the tray menu did not open");
        quitting.start();
        m_display->click(menu->center());
    }
    QVERIFY(m_program.waitForFinished(5000));
    if (ending != QLatin1String("kill")) {
        // Quitting never waits for a mix: the capture ends and the program goes. The bound
        // leaves room for a loaded machine; the figure is printed to compare with one second.
        qInfo("quit while recording (%s) took %lld ms", qPrintable(ending), quitting.elapsed());
        QVERIFY2(quitting.elapsed() < 2500, qPrintable(QString::number(quitting.elapsed())));
        QCOMPARE(m_program.exitStatus(), QProcess::NormalExit);
    }
    const qsizetype uploadsBefore = m_service->server().requests().size();

    QVERIFY(launchIntoTray());
    m_display->click(m_icon.center());
    const std::optional<QPoint> retry =
        waitForButton(qRgb(0x3d, 0x9b, 0x5c), 30000, "crash-recovered");
    QVERIFY2(retry, "the unsent recording was not offered");
    m_display->click(*retry);

    std::optional<RecordedRequest> upload;
    QVERIFY2(waitFor(
                 [&] {
                     const QList<RecordedRequest> requests = m_service->server().requests();
                     for (qsizetype i = uploadsBefore; i < requests.size(); ++i) {
                         if (requests[i].target == meetingAudioPath.toUtf8())
                             upload = requests[i];
                     }
                     return upload.has_value();
                 },
                 40000),
             "the recovered recording was not uploaded to its meeting");
    const QString audioPath = m_folder.filePath(QStringLiteral("recovered-%1.m4a").arg(ending));
    QFile audio(audioPath);
    QVERIFY(audio.open(QIODevice::WriteOnly));
    audio.write(uploadedFile(*upload));
    audio.close();
    const std::vector<float> samples = AudioProbe::decode(audioPath);
    const double seconds = static_cast<double>(samples.size()) / 2.0 / 44100.0;
    double toneSeconds = 0.0;
    for (double from = 0.0; from + 0.25 <= seconds; from += 0.25) {
        if (AudioProbe::toneAmplitude(samples, 0, toneHz, from, from + 0.25) > 0.2)
            toneSeconds += 0.25;
    }
    QVERIFY2(
        toneSeconds >= 4.0,
        qPrintable(
            QStringLiteral("%1 s of the tone in %2 s recorded").arg(toneSeconds).arg(seconds)));

    const QString recordings = recordingsFolder();
    QVERIFY2(waitFor([&] { return QDir(recordings).isEmpty(QDir::Files | QDir::Hidden); }, 10000),
             qPrintable(QDir(recordings).entryList(QDir::Files | QDir::Hidden).join(',')));
    QVERIFY(terminateProgram());
}

// A plain http address on a host that is not loopback is refused: a token stored for it is
// never sent there, nor is anything else.
void TestEndToEnd::noTokenInTheClearToAnotherHost() {
    const std::optional<QString> address = nonLoopbackIpv4();
    if (!address)
        QSKIP("this machine has no IPv4 address besides loopback to serve plain http on");
    TestHttpServer server(TestHttpServer::BodyMode::keep, *address);
    const QString token = distinctiveToken();
    // Where the token would be read from if the address were taken.
    QVERIFY(storeToken(server.origin(), token));

    QVERIFY(launchIntoTray(server.baseUrl()));
    QVERIFY2(opensOnTheSignInScreen(QStringLiteral("plain-http")), "no sign-in screen");
    QTest::qWait(3000);
    for (const RecordedRequest &request : server.requests())
        QVERIFY2(!requestHoldsToken(request, token), request.target.constData());
    QCOMPARE(server.connectionCount(), 0);
    QVERIFY(terminateProgram());
    QVERIFY2(!holdsToken(m_printed, token), "the program printed the token");
}

void TestEndToEnd::noTokenFollowsARedirectToAnotherOrigin_data() {
    QTest::addColumn<int>("status");
    QTest::newRow("302 Found") << 302;
    QTest::newRow("307 Temporary Redirect") << 307;
}

// The profile check at start-up is redirected to another origin (another port of the same
// host): the token stays behind, the program shows the sign-in screen for now, and the token
// stays in the keyring for the next start.
void TestEndToEnd::noTokenFollowsARedirectToAnotherOrigin() {
    QFETCH(int, status);
    TestHttpServer elsewhere;
    const QString token = distinctiveToken();
    const QString origin = m_service->server().origin();
    m_service->setToken(token);
    QVERIFY(storeToken(origin, token));
    m_service->answerProfileWith(TestAnswer::redirect(
        status, (elsewhere.origin() + QStringLiteral("/api/auth/me")).toUtf8()));
    const qsizetype before = m_service->server().requests().size();

    QVERIFY(launchIntoTray());
    // The stored token went to its own origin, so it was read and would have been sent on.
    QVERIFY2(waitFor(
                 [&] {
                     const QList<RecordedRequest> requests = m_service->server().requests();
                     for (qsizetype i = before; i < requests.size(); ++i) {
                         if (requests[i].target == "/api/auth/me" &&
                             requests[i].header("Authorization") == "Bearer " + token.toUtf8())
                             return true;
                     }
                     return false;
                 },
                 15000),
             "no profile check with the stored token");
    QTest::qWait(1500);
    for (const RecordedRequest &request : elsewhere.requests())
        QVERIFY2(!requestHoldsToken(request, token), request.target.constData());
    QVERIFY2(opensOnTheSignInScreen(QStringLiteral("redirect-%1").arg(status)),
             "no sign-in screen after the refused redirect");
    QVERIFY(terminateProgram());
    m_service->answerProfileWith(std::nullopt);
    QCOMPARE(storedToken(origin), std::optional<QString>(token));
    QVERIFY2(!holdsToken(m_printed, token), "the program printed the token");
}

// https to a certificate nobody vouches for: the handshake is refused, so no request, and
// with it the stored token, ever reaches the server.
void TestEndToEnd::noTokenToAnUntrustedCertificate() {
    TestHttpsServer server;
    const QString token = distinctiveToken();
    // "https://127.0.0.1:<port>", the origin the program keeps this address's token under.
    const QString origin = server.baseUrl().chopped(QStringLiteral("/api").size());
    QVERIFY(storeToken(origin, token));

    QVERIFY(launchIntoTray(server.baseUrl()));
    QVERIFY2(waitFor([&] { return server.handshakes() > 0; }, 15000),
             "the program never tried the service");
    QTest::qWait(1000);
    QCOMPARE(server.handledRequests(), 0);
    QVERIFY2(opensOnTheSignInScreen(QStringLiteral("untrusted-certificate")), "no sign-in screen");
    QVERIFY(terminateProgram());
    QVERIFY2(!holdsToken(m_printed, token), "the program printed the token");
}

bool TestEndToEnd::opensOnTheSignInScreen(const QString &shotName) const {
    m_display->click(m_icon.center());
    return waitFor([&] { return popoverGeometry().has_value(); }, 5000) &&
           waitForButton(qRgb(255, 255, 255), 5000, shotName).has_value();
}

std::optional<QRect> TestEndToEnd::openMenu() const {
    const QList<qulonglong> before = m_display->visibleWindows(QStringLiteral("^tolvex$"));
    m_display->click(m_icon.center(), 3);
    std::optional<QRect> menu;
    waitFor(
        [&] {
            for (qulonglong window : m_display->visibleWindows(QStringLiteral("^tolvex$"))) {
                const std::optional<QRect> rect = m_display->geometry(window);
                if (!before.contains(window) && rect && rect->width() != 300) {
                    menu = rect;
                    return true;
                }
            }
            return false;
        },
        5000);
    return menu;
}

void TestEndToEnd::cleanup() {
    if (m_program.state() != QProcess::NotRunning) {
        m_program.kill();
        m_program.waitForFinished(5000);
    }
    m_service->answerProfileWith(std::nullopt);
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
