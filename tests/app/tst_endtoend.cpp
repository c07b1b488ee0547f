// The real program on the private desktop of with-desktop.sh (an XEmbed tray, a sound server,
// a keyring) against the programmable service, driven by clicks on the tray icon and popover,
// and answered by a notification server of the test's own.

#include "AudioProbe.h"
#include "DesktopProbe.h"
#include "SoundServer.h"
#include "TestHttpServer.h"
#include "XDisplay.h"

#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cstdio>
#include <functional>
#include <optional>

#include <signal.h>

namespace {

const QString botName = QStringLiteral("TolvexTestBot");
const QString nonce = QStringLiteral("e2e-nonce");
const QByteArray audioTarget = "/api/meetings/42/audio";
constexpr double toneHz = 660.0;
// The fills of "Войти через Telegram", "Начать запись" (and the retry) and "Остановить".
const QRgb white = qRgb(255, 255, 255);
const QRgb green = qRgb(0x3d, 0x9b, 0x5c);
const QRgb red = qRgb(0xb5, 0x45, 0x45);
constexpr int popoverWidth = 300;

TestAnswer jsonAnswer(const QJsonObject &object, int status = 200) {
    return TestAnswer::json(status, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// The token as sent, or as UTF-16 text of either byte order (a QString written out whole).
bool holdsToken(QByteArray bytes, const QByteArray &token) {
    return bytes.contains(token) || bytes.replace('\0', QByteArray()).contains(token);
}

// Files under `root`, except under `allowed`, whose bytes hold the token.
QStringList filesHoldingToken(const QString &root, const QString &allowed,
                              const QByteArray &token) {
    QStringList found;
    QDirIterator files(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (!file.fileName().startsWith(allowed + '/') && file.open(QIODevice::ReadOnly) &&
            holdsToken(file.readAll(), token))
            found << file.fileName();
    }
    return found;
}

// The service as the program meets it: the bot confirms the sign-in on the third poll.
class FakeService {
public:
    // Long and new in every run, so that it can only be found where the program put it.
    const QByteArray token = "tvx_" +
                             QByteArray::number(QRandomGenerator::system()->generate64(), 36) +
                             QByteArray::number(QRandomGenerator::system()->generate64(), 36);
    TestHttpServer server;

    FakeService() {
        server.setHandler([this](const RecordedRequest &request) { return answer(request); });
    }

    // The first upload to the meeting that arrives after the first `skip` requests.
    // The status uploads are refused with; 0 takes them.
    std::atomic<int> uploadRefusal = 0;

    std::optional<RecordedRequest> upload(qsizetype skip = 0) const {
        const QList<RecordedRequest> requests = server.requests();
        for (qsizetype i = skip; i < requests.size(); ++i) {
            if (requests[i].method == "POST" && requests[i].target == audioTarget)
                return requests[i];
        }
        return std::nullopt;
    }

private:
    TestAnswer answer(const RecordedRequest &request) {
        const QByteArray key = request.method + ' ' + request.target;
        if (key == "POST /api/auth/app-login/start")
            return jsonAnswer(
                {{"nonce", nonce},
                 {"bot_url", QStringLiteral("https://t.me/%1?start=%2").arg(botName, nonce)},
                 {"expires_in_seconds", 120}});
        if (key == "GET /api/auth/app-login/poll/" + nonce.toUtf8())
            return ++m_polls < 3 ? jsonAnswer({{"status", "pending"}})
                                 : jsonAnswer({{"status", "ok"}, {"token", QString(token)}});
        if (key == "GET /api/auth/me")
            return request.header("Authorization") == "Bearer " + token
                       ? jsonAnswer({{"user_id", 7}, {"first_name", QStringLiteral("Анна")}})
                       : jsonAnswer({{"detail", "unauthorized"}}, 401);
        if (key == "POST /api/meetings")
            return jsonAnswer({{"id", 42}, {"status", "created"}});
        if (key == "POST " + audioTarget)
            return uploadRefusal ? jsonAnswer({{"detail", "refused"}}, uploadRefusal)
                                 : jsonAnswer({{"status", "uploaded"}}, 201);
        return jsonAnswer({{"detail", "not found"}}, 404);
    }

    std::atomic<int> m_polls = 0;
};

// The desktop's notification server: what it was asked to show and to close.
class NotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Shown {
        uint id;
        QString text;
        QStringList actions;
        QVariantMap hints;
    };
    QList<Shown> shown;
    QList<uint> closed;

    bool own() {
        QDBusConnection bus = QDBusConnection::sessionBus();
        return bus.registerObject("/org/freedesktop/Notifications", this,
                                  QDBusConnection::ExportAllSlots |
                                      QDBusConnection::ExportAllSignals) &&
               bus.registerService("org.freedesktop.Notifications");
    }
    // The last notification whose text holds `part`.
    std::optional<Shown> find(const QString &part) const {
        for (qsizetype i = shown.size() - 1; i >= 0; --i) {
            if (shown[i].text.contains(part))
                return shown[i];
        }
        return std::nullopt;
    }

public slots:
    uint Notify(const QString &, uint replaces, const QString &icon, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int) {
        shown.append({replaces ? replaces : uint(shown.size() + 1),
                      summary + '\n' + body + '\n' + icon, actions, hints});
        return shown.last().id;
    }
    void CloseNotification(uint id) { closed << id; }

signals:
    void ActionInvoked(uint id, const QString &action);
};

// "Выйти из Толвекса" is the menu's last item.
QPoint quitItem(const QRect &menu) {
    return {menu.center().x(), menu.bottom() - 10};
}

// The bounding box of the rows of `area` in which at least 150 pixels have `colour`: a filled
// button stands out that way, text of the same colour does not.
std::optional<QRect> filledBlock(const QImage &image, const QRect &area, QRgb colour) {
    const auto near = [colour](QRgb pixel) {
        return std::abs(qRed(pixel) - qRed(colour)) <= 8 &&
               std::abs(qGreen(pixel) - qGreen(colour)) <= 8 &&
               std::abs(qBlue(pixel) - qBlue(colour)) <= 8;
    };
    QRect block;
    for (int y = area.top(); y <= area.bottom() && y < image.height(); ++y) {
        int count = 0, left = area.right(), right = area.left();
        for (int x = area.left(); x <= area.right() && x < image.width(); ++x) {
            if (near(image.pixel(x, y))) {
                ++count;
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
        if (count >= 150)
            block = block.united(QRect(QPoint(left, y), QPoint(right, y)));
    }
    return block.height() >= 20 ? std::optional<QRect>(block) : std::nullopt;
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

    FakeService m_service;
    QTemporaryDir m_folder;
    QProcess m_program;
    QProcess m_player;
    // Everything the program printed over all its launches.
    QByteArray m_printed;
    QRect m_icon;
    // How many milliseconds each of the program's reminder minutes lasts; released when empty.
    QString m_minuteMs;

    QProcessEnvironment environment() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("TOLVEX_API_BASE_URL"), m_service.server.baseUrl());
        environment.insert(QStringLiteral("PATH"), m_folder.filePath(QStringLiteral("bin")) + ':' +
                                                       environment.value(QStringLiteral("PATH")));
        environment.insert(QStringLiteral("BROWSER"), QStringLiteral("true"));
        environment.insert(QStringLiteral("TOLVEX_E2E_OPENED"), m_folder.filePath("opened.log"));
        if (!m_minuteMs.isEmpty())
            environment.insert(QStringLiteral("TOLVEX_MINUTE_MS"), m_minuteMs);
        return environment;
    }

    // Starts the program and waits for its icon in the tray; true once m_icon holds its place.
    bool launchIntoTray() {
        m_program.setProcessEnvironment(environment());
        m_program.start(QStringLiteral(TOLVEX_PROGRAM), {});
        QList<qulonglong> shown;
        if (!m_program.waitForStarted(5000) ||
            !waitFor([&] { return (shown = XDisplay::visibleWindows("^tolvex$")).size() == 1; },
                     20000))
            return false;
        m_icon = XDisplay::geometry(shown.first()).value_or(QRect());
        return !m_icon.isEmpty();
    }

    std::optional<QRect> popover() const {
        for (qulonglong window : XDisplay::visibleWindows("^tolvex$")) {
            const std::optional<QRect> rect = XDisplay::geometry(window);
            if (rect && rect->width() == popoverWidth)
                return rect;
        }
        return std::nullopt;
    }

    // Waits until the popover shows a button filled with `colour`; saves the popover as
    // `shot`.png and returns the button's middle.
    std::optional<QPoint> waitForButton(QRgb colour, int ms, const QString &shot) const {
        std::optional<QPoint> centre;
        waitFor(
            [&] {
                const std::optional<QRect> area = popover();
                const QImage screen = area ? XDisplay::screenshot() : QImage();
                const std::optional<QRect> block =
                    screen.isNull() ? std::nullopt : filledBlock(screen, *area, colour);
                if (block) {
                    centre = block->center();
                    QDir().mkpath(QStringLiteral(TOLVEX_SHOTS));
                    screen.copy(*area).save(QStringLiteral(TOLVEX_SHOTS "/%1.png").arg(shot));
                }
                return block.has_value();
            },
            ms);
        return centre;
    }

    // Right-clicks the icon; the menu's place once it shows.
    std::optional<QRect> openMenu() const {
        const QList<qulonglong> before = XDisplay::visibleWindows("^tolvex$");
        XDisplay::click(m_icon.center(), 3);
        std::optional<QRect> menu;
        waitFor(
            [&] {
                for (qulonglong window : XDisplay::visibleWindows("^tolvex$")) {
                    const std::optional<QRect> rect = XDisplay::geometry(window);
                    if (!before.contains(window) && rect && rect->width() != popoverWidth)
                        menu = rect;
                }
                return menu.has_value();
            },
            5000);
        return menu;
    }

    // Clicks "Начать запись" on the open popover, plays the tone, and returns where
    // "Остановить" is.
    std::optional<QPoint> recordTone(double seconds, const QString &shot) {
        const std::optional<QPoint> start = waitForButton(green, 15000, shot + "-idle");
        if (!start)
            return std::nullopt;
        XDisplay::click(*start);
        const std::optional<QPoint> stop = waitForButton(red, 15000, shot + "-recording");
        return stop && playTone(seconds) ? stop : std::nullopt;
    }

    // Plays the tone on the speakers for `seconds`, in the background.
    bool playTone(double seconds) {
        const std::vector<float> tone = SoundServer::tone(toneHz, seconds, 0.5F);
        QFile raw(m_folder.filePath(QStringLiteral("tone.raw")));
        if (!raw.open(QIODevice::WriteOnly))
            return false;
        raw.write(reinterpret_cast<const char *>(tone.data()),
                  static_cast<qint64>(tone.size() * sizeof(float)));
        raw.close();
        m_player.setStandardInputFile(raw.fileName());
        m_player.start(QStringLiteral("pacat"),
                       {"--playback", "--device=speakers", "--format=float32le", "--rate=44100",
                        "--channels=2", "--raw", "--latency-msec=300"});
        return m_player.waitForStarted(5000);
    }

    // Seconds of the tone in an upload's file, by quarter seconds.
    double toneSeconds(const RecordedRequest &upload, const QString &name) const {
        QFile file(m_folder.filePath(name + QStringLiteral(".m4a")));
        if (!file.open(QIODevice::WriteOnly) || file.write(upload.filePart()) <= 0)
            return 0;
        file.close();
        const std::vector<float> samples = AudioProbe::decode(file.fileName());
        double tone = 0;
        for (double from = 0; from + 0.25 <= AudioProbe::seconds(samples); from += 0.25) {
            if (AudioProbe::tone(samples, toneHz, from, from + 0.25) > 0.2)
                tone += 0.25;
        }
        return tone;
    }

    // `tolvex` with `option`, as a key bound to it runs it: its exit status and what it printed.
    std::pair<int, QString> command(const QString &option) const {
        QProcess process;
        process.setProcessEnvironment(environment());
        process.start(QStringLiteral(TOLVEX_PROGRAM), {option});
        if (!process.waitForFinished(10000))
            return {-1, QString()};
        return {process.exitCode(),
                QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError())
                    .trimmed()};
    }

    bool recordingsFolderEmpties() const {
        const QDir recordings(qEnvironmentVariable("XDG_DATA_HOME") + "/tolvex/recordings");
        return waitFor([&] { return recordings.isEmpty(QDir::Files | QDir::Hidden); }, 10000);
    }

private slots:
    void initTestCase() {
        QVERIFY2(qEnvironmentVariableIsSet("TOLVEX_DESKTOP"), "run inside with-desktop.sh (ctest)");
        QVERIFY2(QFile::exists(QStringLiteral(TOLVEX_PROGRAM)), TOLVEX_PROGRAM);
        QVERIFY(m_folder.isValid() && QDir(m_folder.path()).mkdir(QStringLiteral("bin")));
        // Links the program opens land in a log instead of a browser or Telegram.
        QFile opener(m_folder.filePath(QStringLiteral("bin/xdg-open")));
        QVERIFY(opener.open(QIODevice::WriteOnly));
        opener.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> \"$TOLVEX_E2E_OPENED\"\n");
        opener.close();
        QVERIFY(opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        // Kept for the token check and passed on, so the log still shows it.
        m_program.setProcessChannelMode(QProcess::MergedChannels);
        connect(&m_program, &QProcess::readyReadStandardOutput, this, [this] {
            const QByteArray printed = m_program.readAllStandardOutput();
            m_printed += printed;
            std::fwrite(printed.constData(), 1, static_cast<std::size_t>(printed.size()), stderr);
        });
    }

    void signInRecordUploadAndQuit() {
        // The token search at the end reads every file under the temporary folder, where
        // with-keyring.sh puts HOME and the runtime folder.
        QVERIFY2(QDir::homePath().startsWith(QDir::tempPath() + '/'), "HOME is elsewhere");

        // The icon docks into the tray panel at the top right.
        QVERIFY2(launchIntoTray(), "the tray icon did not appear");
        QVERIFY2(m_icon.top() < 32 && m_icon.left() > XDisplay::width / 2 &&
                     m_icon.right() < XDisplay::width,
                 "the icon is not in the tray panel");

        // A second copy ends at once, successfully, and shows nothing.
        QProcess second;
        second.setProcessEnvironment(environment());
        second.start(QStringLiteral(TOLVEX_PROGRAM), {});
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QTest::qWait(500);
        QCOMPARE(XDisplay::visibleWindows("^tolvex$").size(), 1);

        // A left click opens the popover just below the icon; Escape closes it, and so does a
        // second click.
        XDisplay::click(m_icon.center());
        QVERIFY2(waitFor([&] { return popover().has_value(); }, 5000), "the popover did not open");
        const QRect placed = *popover();
        QVERIFY(placed.top() > m_icon.bottom() && placed.top() <= m_icon.bottom() + 10 &&
                placed.left() >= 0 && placed.right() < XDisplay::width);
        XDisplay::key(QStringLiteral("Escape"));
        QVERIFY2(waitFor([&] { return !popover(); }, 3000), "Escape did not close it");
        XDisplay::click(m_icon.center());
        QVERIFY2(waitFor([&] { return popover().has_value(); }, 3000), "did not reopen");
        QTest::qWait(700);
        XDisplay::click(m_icon.center());
        QVERIFY2(waitFor([&] { return !popover(); }, 3000), "a second click did not close it");
        QTest::qWait(700);
        XDisplay::click(m_icon.center());

        // Sign-in: the bot's link goes to Telegram, and the idle screen follows.
        const std::optional<QPoint> signIn = waitForButton(white, 5000, "login");
        QVERIFY2(signIn, "no sign-in button on the popover");
        const auto [refused, refusal] = command(QStringLiteral("--toggle"));
        QVERIFY2(refused == 1 && refusal.startsWith(QStringLiteral("Вход не выполнен")),
                 qPrintable(refusal));
        XDisplay::click(*signIn);
        QFile opened(m_folder.filePath("opened.log"));
        QVERIFY2(waitFor([&] { return opened.exists(); }, 10000), "no link was opened");
        QVERIFY(opened.open(QIODevice::ReadOnly));
        const QByteArray link = opened.readAll().trimmed();
        // Telegram's own link where the desktop has Telegram, else the web link.
        QVERIFY2((link.startsWith("tg://resolve?") || link.startsWith("https://t.me/")) &&
                     link.contains(botName.toUtf8()) && link.contains("start=" + nonce.toUtf8()),
                 link.constData());

        // Three seconds of the tone between "Начать запись" and "Остановить" reach the meeting,
        // and nothing of the recording is left after.
        const std::optional<QPoint> stop = recordTone(3.0, QStringLiteral("signed-in"));
        QVERIFY2(stop, "no recording screen after the sign-in");
        QTest::qWait(3500);
        XDisplay::click(*stop);
        QVERIFY2(waitFor([&] { return m_service.upload().has_value(); }, 40000),
                 "no upload arrived");
        QVERIFY2(waitForButton(green, 20000, "idle-after-upload"),
                 "no idle screen after the upload");
        QVERIFY(recordingsFolderEmpties());
        const double tone = toneSeconds(*m_service.upload(), QStringLiteral("uploaded"));
        QVERIFY2(tone >= 2.5, qPrintable(QStringLiteral("%1 s of the tone").arg(tone)));

        // A key bound to `tolvex --toggle` starts a recording and stops it, which sends it;
        // `--status` says what goes on.
        const auto [started, starting] = command(QStringLiteral("--toggle"));
        QVERIFY2(started == 0 && starting == QStringLiteral("Начинаю запись"),
                 qPrintable(starting));
        QVERIFY2(waitForButton(red, 15000, "recording-by-command"), "--toggle did not record");
        const auto [told, status] = command(QStringLiteral("--status"));
        QVERIFY2(told == 0 && status.startsWith(QStringLiteral("Идёт запись")), qPrintable(status));
        const qsizetype sent = m_service.server.requests().size();
        const auto [stopped, stopping] = command(QStringLiteral("--toggle"));
        QVERIFY2(stopped == 0, qPrintable(stopping));
        QVERIFY2(waitFor([&] { return m_service.upload(sent).has_value(); }, 40000),
                 "the recording --toggle stopped was not sent");
        QVERIFY2(waitForButton(green, 20000, "idle-after-toggle"), "no idle screen after it");
        QVERIFY(recordingsFolderEmpties());

        // A right click opens the menu and closes the popover; its last item quits.
        const std::optional<QRect> menu = openMenu();
        QVERIFY2(menu, "the tray menu did not open");
        QVERIFY2(waitFor([&] { return !popover(); }, 3000), "the popover stayed open");
        XDisplay::click(quitItem(*menu));
        QVERIFY2(m_program.waitForFinished(10000), "the program did not quit");
        QCOMPARE(m_program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_program.exitCode(), 0);

        // The keyring's own (encrypted) files are the one place the token may be.
        const QStringList leaks = filesHoldingToken(
            QDir::tempPath(), qEnvironmentVariable("XDG_DATA_HOME") + "/keyrings", m_service.token);
        QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(QStringLiteral(", "))));
        QVERIFY2(!holdsToken(m_printed, m_service.token), "the program printed the token");
    }

    void endedMidRecordingIsSentAfterTheRelaunch_data() {
        QTest::addColumn<QString>("ending");
        QTest::newRow("killed (a crash, a power cut)") << QStringLiteral("kill");
        QTest::newRow("SIGTERM (the session ends)") << QStringLiteral("term");
        QTest::newRow("the tray menu's quit") << QStringLiteral("menu");
    }

    // A recording under way when the program ends goes by itself at the next launch and reaches
    // its meeting with what was recorded; nothing of it is left after.
    void endedMidRecordingIsSentAfterTheRelaunch() {
        QFETCH(QString, ending);
        // Still signed in from the test before: the token is in the keyring.
        QVERIFY(launchIntoTray());
        XDisplay::click(m_icon.center());
        QVERIFY2(recordTone(8.0, ending), "no recording screen");
        // A kill costs the last second or so that was still in memory, more on a busy machine.
        QTest::qWait(6500);
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
            XDisplay::click(quitItem(*menu));
        }
        QVERIFY(m_program.waitForFinished(5000));
        if (ending != QLatin1String("kill")) {
            // Quitting never waits for a mix. The bound leaves room for a loaded machine; the
            // figure is printed to compare with one second.
            qInfo("quit while recording (%s) took %lld ms", qPrintable(ending), quitting.elapsed());
            QVERIFY2(quitting.elapsed() < 2500, qPrintable(QString::number(quitting.elapsed())));
            QCOMPARE(m_program.exitStatus(), QProcess::NormalExit);
        }
        const qsizetype before = m_service.server.requests().size();

        // The recording is whole: the relaunch sends it by itself.
        QVERIFY(launchIntoTray());
        QVERIFY2(waitFor([&] { return m_service.upload(before).has_value(); }, 40000),
                 "the unsent recording was not sent to its meeting");
        const double tone = toneSeconds(*m_service.upload(before), "recovered-" + ending);
        QVERIFY2(tone >= 4.0, qPrintable(QStringLiteral("%1 s of the tone").arg(tone)));
        QVERIFY(recordingsFolderEmpties());
        m_program.terminate();
        QVERIFY(m_program.waitForFinished(10000));
    }

    // A forgotten recording is noticed (an hour lasts 12 s here): the end of the call it records
    // asks whether to stop, which stops and sends it; both tracks silent for the hour stop and
    // send it by themselves, and say so, but never while the computer still plays.
    void forgottenRecordingIsNoticed() {
        NotificationServer notifications;
        QVERIFY(notifications.own());
        m_minuteMs = QStringLiteral("200");
        QVERIFY(launchIntoTray());
        QTest::qWait(1500);
        QProcess call;
        call.setStandardOutputFile(QProcess::nullDevice());
        call.start("timeout",
                   {"12", "parec", "--raw", "--device=mic", "--property=application.name=Zoom"});
        std::optional<NotificationServer::Shown> offer, reminder;
        QVERIFY(waitFor([&] { return (offer = notifications.find("звонок в Zoom")).has_value(); },
                        8000));
        // The computer plays all along, so only the call's end can ask.
        QVERIFY(playTone(40.0));
        emit notifications.ActionInvoked(offer->id, QStringLiteral("start"));
        QVERIFY(
            waitFor([&] { return command("--status").second.startsWith("Идёт запись"); }, 15000));
        QVERIFY(waitFor([&] { return (reminder = notifications.find("закончился")).has_value(); },
                        15000));
        QVERIFY2(call.state() == QProcess::NotRunning, "asked while the call went on");
        qsizetype sent = m_service.server.requests().size();
        emit notifications.ActionInvoked(reminder->id, QStringLiteral("stop"));
        QVERIFY2(waitFor([&] { return m_service.upload(sent).has_value(); }, 40000),
                 "the reminder's stop did not send the recording");
        m_player.kill();
        QVERIFY(m_player.waitForFinished(5000));
        QVERIFY(waitFor([&] { return command("--status").second.startsWith("Запись не"); }, 20000));

        sent = m_service.server.requests().size();
        QCOMPARE(command(QStringLiteral("--start")).first, 0);
        QVERIFY(playTone(16.0));
        QTest::qWait(14000);
        QVERIFY2(command("--status").second.startsWith("Идёт запись"), "stopped while it played");
        std::optional<NotificationServer::Shown> stopped;
        QVERIFY(
            waitFor([&] { return (stopped = notifications.find("тишины")).has_value(); }, 30000));
        QVERIFY2(stopped->text.contains("60 минут тишины"), qPrintable(stopped->text));
        QVERIFY2(waitFor([&] { return m_service.upload(sent).has_value(); }, 40000),
                 "the silent recording was not sent");
        // The silence asked first, and its question went with the stop.
        const std::optional<NotificationServer::Shown> asked = notifications.find("закончился");
        QVERIFY(asked && asked->id != reminder->id && notifications.closed.contains(asked->id));
        m_program.terminate();
        QVERIFY(m_program.waitForFinished(10000));
        m_minuteMs.clear();
    }

    // With the popover closed, notifications speak: a call in another program (one that goes
    // on, not a short one nor a recording of the speakers) is offered for recording, and a
    // failed upload is offered again, which sends it.
    void notificationsWhileThePopoverIsClosed() {
        NotificationServer notifications;
        QVERIFY(notifications.own());
        QVERIFY(launchIntoTray());
        QTest::qWait(1500);
        QProcess streams[3];
        const std::tuple<const char *, const char *, const char *> captures[3] = {
            {"Firefox", "mic", "12"}, {"Brief", "mic", "2"}, {"Speakers", "speakers.monitor", "6"}};
        for (int i = 0; i < 3; ++i) {
            const auto [name, device, seconds] = captures[i];
            streams[i].setStandardOutputFile(QProcess::nullDevice());
            streams[i].start("timeout",
                             {seconds, "parec", "--raw", QStringLiteral("--device=") + device,
                              QStringLiteral("--property=application.name=") + name});
        }
        QVERIFY(waitFor([&] { return !notifications.shown.isEmpty(); }, 7000));
        QTest::qWait(1500);
        QCOMPARE(notifications.shown.size(), 1);
        const NotificationServer::Shown call = notifications.shown.first();
        QVERIFY2(call.text.contains("звонок в Firefox") && call.text.endsWith("tolvex"),
                 qPrintable(call.text));
        QCOMPARE(call.hints.value("desktop-entry").toString(), QStringLiteral("tolvex"));
        emit notifications.ActionInvoked(call.id, QStringLiteral("start"));
        QVERIFY2(
            waitFor([&] { return command("--status").second.startsWith("Идёт запись"); }, 15000),
            "the call's action did not start a recording");

        m_service.uploadRefusal = 500;
        QCOMPARE(command(QStringLiteral("--stop")).first, 0);
        std::optional<NotificationServer::Shown> failed;
        QVERIFY(waitFor([&] { return (failed = notifications.find("не загружена")).has_value(); },
                        40000));
        QVERIFY2(failed->actions.contains("retry"), qPrintable(failed->actions.join(',')));
        m_service.uploadRefusal = 0;
        const qsizetype sent = m_service.server.requests().size();
        emit notifications.ActionInvoked(failed->id, QStringLiteral("retry"));
        QVERIFY2(waitFor([&] { return m_service.upload(sent).has_value(); }, 40000),
                 "the retry did not send the recording");
        QVERIFY(
            waitFor([&] { return notifications.find("Запись отправлена").has_value(); }, 20000));
        QVERIFY(notifications.closed.contains(failed->id));
        for (QProcess &stream : streams) {
            stream.terminate();
            stream.waitForFinished(5000);
        }
        // That call over, the next one is offered too.
        const qsizetype offered = notifications.shown.size();
        streams[0].start("timeout", {"7", "parec", "--raw", "--device=mic",
                                     "--property=application.name=Firefox"});
        QVERIFY(waitFor(
            [&] {
                return notifications.shown.size() > offered &&
                       notifications.shown.last().text.contains("звонок в Firefox");
            },
            7000));
        streams[0].terminate();
        streams[0].waitForFinished(5000);

        // With the offers turned off (the menu's switch, kept in the settings), a call passes.
        m_program.terminate();
        QVERIFY(m_program.waitForFinished(10000));
        QSettings("tolvex", "tolvex").setValue("offerCallRecording", false);
        const qsizetype shown = notifications.shown.size();
        QVERIFY(launchIntoTray());
        streams[0].start("timeout", {"7", "parec", "--raw", "--device=mic"});
        QTest::qWait(7500);
        QCOMPARE(notifications.shown.size(), shown);

        // An upload refused for the token: the sign-in screen's words, the recording kept.
        m_service.uploadRefusal = 401;
        QCOMPARE(command(QStringLiteral("--start")).first, 0);
        QVERIFY(waitFor([&] { return command("--stop").first == 0; }, 15000));
        QVERIFY(waitFor([&] { return notifications.find("запись сохранена").has_value(); }, 40000));
    }

    void cleanup() {
        for (QProcess *process : {&m_program, &m_player}) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
