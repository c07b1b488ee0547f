// The view model's start-up, sign-out and Telegram sign-in against a scripted service.

#include "ViewModelHarness.h"

#include <QScopeGuard>

Q_DECLARE_METATYPE(TestAnswer)

namespace {

constexpr auto fastPolls = 50ms; // the harness's poll interval

const QByteArray pollPath = "/api/auth/app-login/poll/";
const QByteArray profilePath = "/api/auth/me";

// Both sign-in flags in one comparable value.
QString flags(const AppViewModel &vm) {
    return QStringLiteral("%1polling, %2timed out")
        .arg(vm.isPollingAuth() ? "" : "not ", vm.authTimedOut() ? "" : "not ");
}
const QString neither = QStringLiteral("not polling, not timed out");
const QString polling = QStringLiteral("polling, not timed out");
const QString timedOut = QStringLiteral("not polling, timed out");

} // namespace

class TestAppViewModel : public QObject {
    Q_OBJECT

private slots:
    void linkHandedToTheDesktop_data() {
        QTest::addColumn<QString>("botUrl");
        QTest::addColumn<bool>("telegramInstalled");
        QTest::addColumn<QString>("opened"); // empty: nothing opened
        const QString webLink = QStringLiteral("https://t.me/ExampleBot?start=abc&x=1");
        QTest::newRow("Telegram link, app installed")
            << webLink << true << "tg://resolve?domain=ExampleBot&start=abc";
        QTest::newRow("Telegram link, no app") << webLink << false << webLink;
        const QString bot = QStringLiteral("https://t.me/ExampleBot");
        const QString app = QStringLiteral("tg://resolve?domain=ExampleBot");
        QTest::newRow("no query") << bot << true << app;
        QTest::newRow("start with delimiters")
            << bot + "?start=a%26b%3Dc%25" << true << app + "&start=a%26b%3Dc%25";
        // Not Telegram's own host as written: only the web page opens.
        QTest::newRow("host in capitals") << "https://T.ME/ExampleBot" << true << bot;
        QTest::newRow("t.me as user name") << "https://t.me@evil.example/ExampleBot" << true
                                           << "https://t.me@evil.example/ExampleBot";
        QTest::newRow("not a URL") << "not a url" << true << QString();
        QTest::newRow("tg resolve link")
            << "tg://resolve?domain=Other" << true << "tg://resolve?domain=Other";
        QTest::newRow("other tg host not opened")
            << "tg://socks?server=evil.example" << true << QString();
        QTest::newRow("file not opened") << "file:///etc/passwd" << true << QString();
    }
    void linkHandedToTheDesktop() {
        QFETCH(QString, botUrl);
        QFETCH(bool, telegramInstalled);
        QFETCH(QString, opened);
        // A desktop of its own: no application but Telegram's, when it is installed.
        QTemporaryDir desktop;
        const QByteArray names[] = {"XDG_DATA_HOME", "XDG_DATA_DIRS", "XDG_CONFIG_HOME",
                                    "XDG_CONFIG_DIRS"};
        QList<QByteArray> saved;
        for (const QByteArray &name : names) {
            saved << qgetenv(name);
            QVERIFY(QDir().mkpath(desktop.filePath(QString::fromLatin1(name))));
            qputenv(name, QFile::encodeName(desktop.filePath(QString::fromLatin1(name))));
        }
        const auto restore = qScopeGuard([&] {
            for (int i = 0; i < 4; ++i)
                qputenv(names[i], saved[i]);
        });
        if (telegramInstalled) {
            const QString apps = desktop.filePath(QStringLiteral("XDG_DATA_HOME/applications"));
            QVERIFY(QDir().mkpath(apps));
            QFile entry(apps + QStringLiteral("/telegram.desktop"));
            QVERIFY(entry.open(QIODevice::WriteOnly));
            entry.write("[Desktop Entry]\nType=Application\nExec=telegram -- %u\n"
                        "MimeType=x-scheme-handler/tg;\n");
        }
        Harness harness(std::nullopt);
        harness.script.pushStart(answers::start(QStringLiteral("n-link"), 600, botUrl));
        auto vm = harness.makeViewModel();

        vm->startTelegramLogin();
        // Polling starts whether or not a link could be opened.
        QTRY_VERIFY(harness.server.requests().size() >= 2);
        QCOMPARE(harness.server.requests()[1].target, pollPath + "n-link");
        QStringList links;
        for (const QUrl &url : harness.links->opened)
            links << url.toString(QUrl::FullyEncoded);
        QCOMPARE(links, opened.isEmpty() ? QStringList() : QStringList{opened});
    }

    // The wait ends after as many polls as half the nonce's lifetime in seconds, and never
    // lasts longer than the limit (here 300 ms of 50 ms polls); it can be started again.
    void waitEndsWhenItsBudgetIsSpent_data() {
        QTest::addColumn<qint64>("expiresInSeconds");
        QTest::addColumn<int>("polls");
        QTest::newRow("0") << qint64(0) << 0;
        QTest::newRow("negative") << qint64(-30) << 0;
        QTest::newRow("7 s") << qint64(7) << 3;
        QTest::newRow("a century, capped") << qint64(3'153'600'000) << 6;
    }
    void waitEndsWhenItsBudgetIsSpent() {
        QFETCH(qint64, expiresInSeconds);
        QFETCH(int, polls);
        Harness harness(std::nullopt);
        harness.script.pushStart(answers::start(QStringLiteral("n-pending"), expiresInSeconds));
        harness.seams.signInWaitLimit = 300ms;
        auto vm = harness.makeViewModel();

        vm->startTelegramLogin();
        QTRY_COMPARE(flags(*vm), timedOut);
        QCOMPARE(vm->stateCase(), AppState::Case::notLoggedIn);
        QTest::qWait(6 * fastPolls.count());
        QCOMPARE(harness.count(pollPath + "n-pending"), polls);

        // A new press asks for a new nonce, with a wait of its own.
        harness.script.pushStart(answers::start(QStringLiteral("n-again"), 600));
        vm->startTelegramLogin();
        QCOMPARE(flags(*vm), polling);
        QTRY_VERIFY(harness.count(pollPath + "n-again") >= 2);
        QCOMPARE(harness.count(pollPath + "n-pending"), polls);
    }

    // A failed start gives the button back; on the next press, failed polls and tokens that
    // would break the header are only missed chances: the token that comes at last signs in,
    // once, and the polls stop.
    void signInGetsOverFailures() {
        Harness harness(std::nullopt);
        harness.script.pushStart(answers::notJson(500));
        harness.script.pushStart(answers::start(QStringLiteral("n-rough"), 600));
        for (const TestAnswer &failure :
             {answers::pending(), answers::notJson(404), answers::notJson(410),
              answers::notJson(500), TestAnswer::drop(), answers::json({{"status", "ok"}}),
              answers::token(QStringLiteral("abc\r\nX-Injected: 1")), answers::token({}),
              answers::token(QStringLiteral("токен"))}) {
            harness.script.pushPoll(failure);
        }
        harness.script.pushPoll(answers::token(QStringLiteral("fresh-token")));
        harness.script.setProfile(answers::profile(9, QStringLiteral("Вера")));
        auto vm = harness.makeViewModel();
        vm->startTelegramLogin();
        QCOMPARE(flags(*vm), polling);
        QTRY_COMPARE(flags(*vm), neither);
        QVERIFY(harness.links->opened.isEmpty());

        vm->startTelegramLogin();
        QTRY_COMPARE(vm->state(), AppState::idle(UserProfileVM{9, QStringLiteral("Вера")}));
        QCOMPARE(flags(*vm), neither);
        QCOMPARE(harness.store->token, std::optional<QString>("fresh-token"));
        QCOMPARE(harness.store->saves, 1);
        QCOMPARE(requestsTo(harness.server, profilePath).last().header("Authorization"),
                 std::optional<QByteArray>("Bearer fresh-token"));
        const int polls = harness.count(pollPath);
        QTest::qWait(6 * fastPolls.count());
        QCOMPARE(harness.count(pollPath), polls);
    }

    // A sign-out stays a sign-out, whatever was still under way: the start-up check of the
    // stored token, or the keyring's save of a token that a sign-in just brought.
    void signOutIsNeverUndone_data() {
        QTest::addColumn<bool>("duringSave");
        QTest::newRow("during the start-up check") << false;
        QTest::newRow("during the new token's save") << true;
    }
    void signOutIsNeverUndone() {
        QFETCH(bool, duringSave);
        Harness harness(duringSave ? std::nullopt : std::optional<QString>("old-token"));
        harness.script.setProfile(
            answers::after(600ms, answers::profile(3, QStringLiteral("Старый"))));
        harness.store->saveDelay = 600ms;
        harness.script.pushStart(answers::start(QStringLiteral("n-out"), 600));
        harness.script.pushPoll(answers::token(QStringLiteral("new-token")));
        auto vm = harness.makeViewModel();
        if (duringSave) {
            vm->startTelegramLogin();
            QTRY_COMPARE(harness.store->saves, 1);
        } else {
            QTRY_COMPARE(harness.count(profilePath), 1);
        }

        vm->logout();
        QTest::qWait(1000);
        QCOMPARE(vm->stateCase(), AppState::Case::notLoggedIn);
        QCOMPARE(flags(*vm), neither);
        QVERIFY(!vm->authToken());
        QCOMPARE(harness.store->token, std::nullopt);
        QCOMPARE(harness.count(profilePath), duringSave ? 0 : 1);
    }

    // Started before the network is up: the stored token stays, and once the service answers,
    // opening the popover signs in with it (the check waits for the end of the interval)
    // without a new sign-in; a press of the sign-in button asks about the token first too.
    void offlineStartKeepsTheToken_data() {
        QTest::addColumn<bool>("byButton");
        QTest::newRow("popover opened") << false;
        QTest::newRow("sign-in pressed") << true;
    }
    void offlineStartKeepsTheToken() {
        QFETCH(bool, byButton);
        Harness harness(QStringLiteral("kept-token"));
        harness.server.goAway();
        harness.seams.profileRecheckInterval = 700ms;
        auto vm = harness.makeViewModel();
        QTRY_VERIFY(vm->hasLoadedStoredToken());
        QTest::qWait(300);
        QCOMPARE(vm->stateCase(), AppState::Case::notLoggedIn);
        QCOMPARE(vm->authToken(), std::optional<QString>("kept-token"));

        harness.server.comeBack();
        for (int i = 0; i < 3; ++i)
            byButton ? vm->startTelegramLogin() : vm->recheckSignIn();
        QTRY_COMPARE(vm->stateCase(), AppState::Case::idle);
        QTest::qWait(800);
        QCOMPARE(harness.count(profilePath), 1); // one check for all three
        QCOMPARE(harness.count("/api/auth/app-login/start"), 0);
        QCOMPARE(harness.store->token, std::optional<QString>("kept-token"));
    }
};

QTEST_MAIN(TestAppViewModel)
#include "tst_appviewmodel.moc"
