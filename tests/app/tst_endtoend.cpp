// The real program under a private X display with an XEmbed tray, a private sound server and
// the programmable service: a person clicks the tray icon, signs in through the bot, records
// a tone, stops, and quits through the tray menu. Runs inside with-keyring.sh, so the
// program's token goes to a real, private Secret Service and no StatusNotifier host exists.

#include "AudioProbe.h"
#include "PulseServer.h"
#include "TestHttpServer.h"
#include "XDisplay.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

namespace {

const QString botName = QStringLiteral("TolvexTestBot");
const QString nonce = QStringLiteral("e2e-nonce");
const QString meetingAudioPath = QStringLiteral("/api/meetings/42/audio");
constexpr double toneHz = 660.0;

TestAnswer jsonAnswer(const QJsonObject &object, int status = 200) {
    return TestAnswer::json(status, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// The service as the program meets it: the bot confirms the sign-in on the third poll.
class FakeService {
public:
    FakeService() {
        m_server.setHandler([this](const RecordedRequest &request) { return answer(request); });
    }
    TestHttpServer &server() { return m_server; }

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
            return jsonAnswer({{"status", "ok"}, {"token", "e2e-token"}});
        }
        if (request.method == "GET" && target == "/api/auth/me") {
            if (request.header("Authorization") != QByteArray("Bearer e2e-token")) {
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
    void cleanup();

private:
    QProcessEnvironment programEnvironment() const;
    std::optional<QRect> popoverGeometry() const;
    // Waits until the popover shows a filled block of `colour` and returns its middle.
    std::optional<QPoint> waitForButton(QRgb colour, int ms, const QString &shotName) const;
    // Right-clicks the icon; the menu's place once it shows.
    std::optional<QRect> openMenu() const;
    // Starts the program and waits for its icon in the tray; true once m_icon holds its place.
    bool launchIntoTray();

    std::unique_ptr<PulseServer> m_pulse;
    std::unique_ptr<FakeService> m_service;
    std::unique_ptr<XDisplay> m_display;
    QTemporaryDir m_folder;
    QString m_openedLog;
    QProcess m_program;
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
}

void TestEndToEnd::withoutATrayAWindowSaysSoAndSigtermQuits() {
    m_program.setProcessEnvironment(programEnvironment());
    m_program.setProcessChannelMode(QProcess::ForwardedChannels);
    m_program.start(QStringLiteral(TOLVEX_PROGRAM), {});
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

QProcessEnvironment TestEndToEnd::programEnvironment() const {
    QProcessEnvironment environment = m_display->environment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("TOLVEX_API_BASE_URL"), m_service->server().baseUrl());
    environment.insert(QStringLiteral("PATH"), m_folder.filePath(QStringLiteral("bin")) + ':' +
                                                   environment.value(QStringLiteral("PATH")));
    environment.insert(QStringLiteral("BROWSER"), QStringLiteral("true"));
    environment.insert(QStringLiteral("TOLVEX_E2E_OPENED"), m_openedLog);
    return environment;
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

void TestEndToEnd::signInRecordUploadAndQuit() {
    QVERIFY2(m_display->startTrayHost(), qPrintable(m_display->error()));
    m_program.setProcessEnvironment(programEnvironment());
    m_program.setProcessChannelMode(QProcess::ForwardedChannels);
    m_program.start(QStringLiteral(TOLVEX_PROGRAM), {});
    QVERIFY(m_program.waitForStarted(5000));

    // The icon docks into the tray.
    QList<qulonglong> shown;
    QVERIFY2(waitFor(
                 [&] {
                     shown = m_display->visibleWindows(QStringLiteral("^tolvex$"));
                     return shown.size() == 1;
                 },
                 20000),
             "the tray icon did not appear");
    const std::optional<QRect> icon = m_display->geometry(shown.first());
    QVERIFY(icon && !icon->isEmpty());
    m_icon = *icon;
    QVERIFY2(m_icon.top() < 32 && m_icon.right() < XDisplay::width &&
                 m_icon.left() > XDisplay::width / 2,
             "the icon should sit in the tray panel at the top right");

    // A second copy ends at once, successfully, and shows nothing.
    QProcess second;
    second.setProcessEnvironment(programEnvironment());
    second.start(QStringLiteral(TOLVEX_PROGRAM), {});
    QVERIFY(second.waitForFinished(10000));
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
    QVERIFY2(link.startsWith("tg://resolve?") && link.contains("domain=" + botName.toUtf8()) &&
                 link.contains("start=" + nonce.toUtf8()),
             link.constData());
    const std::optional<QPoint> start = waitForButton(qRgb(0x3d, 0x9b, 0x5c), 20000, "idle");
    QVERIFY2(start, "the idle screen did not appear after the sign-in");

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
    m_pulse->play(QString::fromLatin1(PulseServer::speakers), PulseServer::tone(toneHz, 3.0, 0.5));
    QTest::qWait(3500);
    m_display->click(*stop);

    QVERIFY2(
        waitFor([&] { return m_service->request("POST", meetingAudioPath).has_value(); }, 40000),
        "no upload arrived");
    QVERIFY2(waitForButton(qRgb(0x3d, 0x9b, 0x5c), 20000, "idle-after-upload"),
             "the idle screen did not come back after the upload");

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
}

bool TestEndToEnd::launchIntoTray() {
    m_program.setProcessEnvironment(programEnvironment());
    m_program.setProcessChannelMode(QProcess::ForwardedChannels);
    m_program.start(QStringLiteral(TOLVEX_PROGRAM), {});
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
        // Quitting never waits for a mix: the capture ends and the program goes.
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

    const QString recordings =
        m_display->environment().value(QStringLiteral("XDG_DATA_HOME"),
                                       QDir::homePath() + QStringLiteral("/.local/share")) +
        QStringLiteral("/tolvex/recordings");
    QVERIFY2(waitFor([&] { return QDir(recordings).isEmpty(QDir::Files | QDir::Hidden); }, 10000),
             qPrintable(QDir(recordings).entryList(QDir::Files | QDir::Hidden).join(',')));
    m_program.terminate();
    QVERIFY(m_program.waitForFinished(10000));
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
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
