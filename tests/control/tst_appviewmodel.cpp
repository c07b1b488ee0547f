// The view model's start-up, profile check, sign-out and Telegram sign-in against a scripted
// service on loopback. The token store and the link opener are in-memory stand-ins.

#include "AppViewModel.h"
#include "ControlTestDoubles.h"

#include <QCoroTask>
#include <QMetaProperty>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(TestAnswer)

namespace {

constexpr auto fastPolls = 50ms;

// One scripted service plus the seams a view model needs; the script outlives the server.
struct Harness {
    ServiceScript script;
    TestHttpServer server;
    std::shared_ptr<MemoryTokenStore> store;
    std::shared_ptr<RecordingLinkOpener> links = std::make_shared<RecordingLinkOpener>();

    explicit Harness(std::optional<QString> storedToken = std::nullopt)
        : store(std::make_shared<MemoryTokenStore>(std::move(storedToken))) {
        server.setHandler(
            [this](const RecordedRequest &request) { return script.answer(request); });
    }

    std::unique_ptr<AppViewModel> makeViewModel(std::chrono::milliseconds interval = fastPolls,
                                                QString baseUrl = {}) {
        return std::make_unique<AppViewModel>(AppViewModel::Seams{
            baseUrl.isEmpty() ? server.baseUrl() : baseUrl, store, links, interval});
    }

    int count(const QByteArray &pathPart) const { return requestsTo(server, pathPart).size(); }
};

const QByteArray startPath = "/api/auth/app-login/start";
const QByteArray pollPath = "/api/auth/app-login/poll/";
const QByteArray profilePath = "/api/auth/me";

std::optional<QString> some(const char *text) {
    return QString::fromUtf8(text);
}

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
    void everyAssignmentNotifies() {
        Harness harness(QStringLiteral("t"));
        auto vm = harness.makeViewModel();
        QTRY_COMPARE(vm->stateCase(), AppState::Case::idle);
        const AppState signedIn = vm->state();

        QSignalSpy changed(vm.get(), &AppViewModel::changed);
        // The same profile again: the state is assigned an equal value.
        QCoro::waitFor(vm->refreshProfile());
        QCOMPARE(changed.count(), 1);
        QCOMPARE(vm->state(), signedIn);
        vm->logout();
        vm->logout(); // notLoggedIn again
        QCOMPARE(changed.count(), 3);
        // authTimedOut = false (already false), then isPollingAuth = true: two announcements.
        harness.script.pushStart(answers::start(QStringLiteral("n"), 600));
        vm->startTelegramLogin();
        QCOMPARE(changed.count(), 5);
        QCOMPARE(flags(*vm), polling);
    }

    void linkHandedToTheDesktop_data() {
        QTest::addColumn<QString>("botUrl");
        QTest::addColumn<QString>("opened"); // empty: nothing opened
        QTest::newRow("Telegram link") << "https://t.me/ExampleBot?start=abc&x=1"
                                       << "tg://resolve?domain=ExampleBot&start=abc";
        QTest::newRow("other host unchanged") << "https://example.com/ExampleBot?start=abc"
                                              << "https://example.com/ExampleBot?start=abc";
        QTest::newRow("not a URL") << "not a url" << QString();
        QTest::newRow("plain http unchanged") << "http://127.0.0.1:8765/bot?start=abc"
                                              << "http://127.0.0.1:8765/bot?start=abc";
        QTest::newRow("tg link unchanged") << "tg://resolve?domain=Other"
                                           << "tg://resolve?domain=Other";
        QTest::newRow("file not opened") << "file:///etc/passwd" << QString();
        QTest::newRow("smb not opened") << "smb://host/share" << QString();
        QTest::newRow("custom scheme not opened") << "steam://run/1" << QString();
    }
    void linkHandedToTheDesktop() {
        QFETCH(QString, botUrl);
        QFETCH(QString, opened);
        Harness harness;
        harness.script.pushStart(answers::start(QStringLiteral("n-link"), 600, botUrl));
        auto vm = harness.makeViewModel();

        vm->startTelegramLogin();
        // Polling starts whether or not a link could be opened.
        QVERIFY(harness.server.waitForRequests(2));
        QCOMPARE(harness.server.requests()[1].target, pollPath + "n-link");
        QCOMPARE(flags(*vm), polling);
        QStringList links;
        for (const QUrl &url : harness.links->opened)
            links << url.toString(QUrl::FullyEncoded);
        QCOMPARE(links, opened.isEmpty() ? QStringList() : QStringList{opened});
    }

    void shortLifetimeTimesOutOnTheFirstFiring_data() {
        QTest::addColumn<qint64>("expiresInSeconds");
        QTest::newRow("1") << qint64(1);
        QTest::newRow("0") << qint64(0);
        QTest::newRow("negative") << qint64(-30);
    }
    void shortLifetimeTimesOutOnTheFirstFiring() {
        QFETCH(qint64, expiresInSeconds);
        Harness harness;
        harness.script.pushStart(answers::start(QStringLiteral("n-short"), expiresInSeconds));
        const auto interval = 800ms;
        auto vm = harness.makeViewModel(interval);

        vm->startTelegramLogin();
        QTRY_COMPARE(harness.links->opened.size(), 1);
        // Before the first firing the wait is still on.
        QTest::qWait(150);
        QCOMPARE(flags(*vm), polling);
        QTRY_COMPARE(flags(*vm), timedOut);
        QCOMPARE(vm->stateCase(), AppState::Case::notLoggedIn);
        QTest::qWait(2 * interval.count());
        QCOMPARE(harness.server.requests().size(), 1); // the start, no poll
    }

    void pendingUntilTheBudgetIsSpentTimesOut() {
        Harness harness;
        harness.script.pushStart(answers::start(QStringLiteral("n-pending"), 7)); // 3 polls
        auto vm = harness.makeViewModel();

        vm->startTelegramLogin();
        QTRY_COMPARE(flags(*vm), timedOut);
        QCOMPARE(vm->stateCase(), AppState::Case::notLoggedIn);
        QVERIFY(!vm->authToken());
        QCOMPARE(harness.store->saves, 0);
        QTest::qWait(6 * fastPolls.count());
        const QList<RecordedRequest> polls = requestsTo(harness.server, pollPath);
        QCOMPARE(polls.size(), 3);
        for (const RecordedRequest &poll : polls)
            QCOMPARE(poll.method + ' ' + poll.target, "GET " + pollPath + "n-pending");
    }

    void tokenAfterTwoPendingPollsSignsIn() {
        Harness harness;
        harness.script.pushStart(answers::start(QStringLiteral("n-ok"), 600));
        harness.script.pushPoll(answers::pending());
        harness.script.pushPoll(answers::pending());
        harness.script.pushPoll(answers::token(QStringLiteral("fresh-token")));
        harness.script.setProfile(answers::profile(9, QStringLiteral("Вера")));
        // Slow enough that no firing overtakes the token's answer, even on a loaded machine.
        constexpr auto interval = 300ms;
        auto vm = harness.makeViewModel(interval);

        vm->startTelegramLogin();
        QTRY_COMPARE(vm->stateCase(), AppState::Case::idle);
        QCOMPARE(vm->state(), AppState::idle(UserProfileVM{9, QStringLiteral("Вера")}));
        QTRY_COMPARE(flags(*vm), neither);
        QCOMPARE(vm->authToken(), some("fresh-token"));
        QCOMPARE(harness.store->token, some("fresh-token"));
        QCOMPARE(harness.store->saves, 1);
        const QList<RecordedRequest> profiles = requestsTo(harness.server, profilePath);
        QCOMPARE(profiles.size(), 1);
        QCOMPARE(profiles[0].header("Authorization").value_or(""),
                 QByteArray("Bearer fresh-token"));
        // The timer stopped with the token (a firing may have overtaken a slow answer).
        const int polls = harness.count(pollPath);
        QVERIFY(polls >= 3);
        QTest::qWait(3 * interval.count());
        QCOMPARE(harness.count(pollPath), polls);
    }

    // Firings do not wait for each other, so several polls may bring the token back at once:
    // the token is stored once and asked about once.
    void tokensFromOverlappingPollsSignInOnce() {
        Harness harness;
        harness.script.pushStart(answers::start(QStringLiteral("n-many"), 600));
        for (int i = 0; i < 4; ++i) {
            TestAnswer slowToken = answers::token(QStringLiteral("same-token"));
            slowToken.delay = 400ms;
            harness.script.pushPoll(slowToken);
        }
        auto vm = harness.makeViewModel();

        vm->startTelegramLogin();
        QTRY_VERIFY(harness.count(pollPath) >= 2);
        QTRY_COMPARE(vm->stateCase(), AppState::Case::idle);
        QTRY_COMPARE(flags(*vm), neither);
        QTest::qWait(600); // the remaining slow answers arrive
        QCOMPARE(harness.store->saves, 1);
        QCOMPARE(harness.count(profilePath), 1);
        QCOMPARE(flags(*vm), neither);
    }

    // A poll of an attempt that ran out and was replaced by a new one answers late with a
    // token: the new attempt keeps waiting, nothing is stored.
    void replacedAttemptsLateAnswerChangesNothing() {
        Harness harness;
        harness.script.pushStart(answers::start(QStringLiteral("old"), 2)); // 1 poll
        harness.script.pushStart(answers::start(QStringLiteral("new"), 600));
        TestAnswer lateToken = answers::token(QStringLiteral("old-token"));
        lateToken.delay = 1500ms;
        harness.script.pushPoll(lateToken);
        auto vm = harness.makeViewModel(100ms);

        vm->startTelegramLogin();
        QTRY_COMPARE(flags(*vm), timedOut);
        QCOMPARE(harness.count(pollPath + "old"), 1);
        vm->startTelegramLogin();
        QCOMPARE(flags(*vm), polling);
        QTRY_COMPARE_WITH_TIMEOUT(harness.count(pollPath + "new") >= 1, true, 5000);

        QTest::qWait(2000); // the old poll's answer has come and gone
        QCOMPARE(harness.store->saves, 0);
        QVERIFY(!vm->authToken());
        QCOMPARE(harness.count(profilePath), 0);
        QCOMPARE(flags(*vm), polling);
    }

    void secondPressWhileSigningInSendsNothing() {
        Harness harness;
        TestAnswer slowStart = answers::start(QStringLiteral("n-once"), 600);
        slowStart.delay = 200ms;
        harness.script.pushStart(slowStart);
        auto vm = harness.makeViewModel(300ms);
        QSignalSpy changed(vm.get(), &AppViewModel::changed);

        vm->startTelegramLogin();
        QCOMPARE(changed.count(), 2);
        vm->startTelegramLogin(); // while the start request is under way
        QTRY_COMPARE(harness.links->opened.size(), 1);
        vm->startTelegramLogin(); // while waiting for the bot
        QCOMPARE(changed.count(), 2);
        QTRY_COMPARE(harness.count(pollPath), 2);
        QCOMPARE(harness.count(startPath), 1);
        QCOMPARE(harness.links->opened.size(), 1);
        QCOMPARE(flags(*vm), polling);
    }

    void tryAgainAfterTimeoutAsksForANewNonce() {
        Harness harness;
        harness.script.pushStart(answers::start(QStringLiteral("first"), 2));  // 1 poll
        harness.script.pushStart(answers::start(QStringLiteral("second"), 4)); // 2 polls
        auto vm = harness.makeViewModel();

        vm->startTelegramLogin();
        QTRY_COMPARE(flags(*vm), timedOut);
        vm->startTelegramLogin();
        QCOMPARE(flags(*vm), polling);
        QTRY_COMPARE(flags(*vm), timedOut);
        QCOMPARE(harness.count(startPath), 2);
        // The new wait has its own counter and its full budget; the old timer is gone.
        QCOMPARE(harness.count(pollPath + "second"), 2);
        QCOMPARE(harness.count(pollPath + "first"), 1);
        QCOMPARE(harness.links->opened.size(), 2);
    }

    void failedStartLeavesBothFlagsFalse_data() {
        QTest::addColumn<TestAnswer>("answer");
        QTest::addColumn<bool>("unreachable");
        QTest::newRow("500 not JSON") << answers::notJson(500) << false;
        QTest::newRow("dropped connection") << TestAnswer::drop() << false;
        QTest::newRow("nothing listening") << TestAnswer{} << true;
    }
    void failedStartLeavesBothFlagsFalse() {
        QFETCH(TestAnswer, answer);
        QFETCH(bool, unreachable);
        Harness harness;
        harness.script.pushStart(answer);
        QString closedPort;
        if (unreachable) {
            TestHttpServer gone;
            closedPort = gone.baseUrl();
        }
        auto vm = harness.makeViewModel(fastPolls, closedPort);

        vm->startTelegramLogin();
        QCOMPARE(flags(*vm), polling);
        QTRY_COMPARE(flags(*vm), neither);
        QCOMPARE(vm->stateCase(), AppState::Case::notLoggedIn);
        QTest::qWait(4 * fastPolls.count());
        QVERIFY(harness.links->opened.isEmpty());
        QCOMPARE(harness.count(pollPath), 0);
    }

    void pollFailuresAreIgnoredOneByOne() {
        Harness harness;
        harness.script.pushStart(answers::start(QStringLiteral("n-rough"), 600));
        harness.script.pushPoll(answers::notJson(404));
        harness.script.pushPoll(answers::notJson(410));
        harness.script.pushPoll(answers::notJson(500));
        harness.script.pushPoll(TestAnswer::drop());
        harness.script.pushPoll(answers::json({{"status", "ok"}})); // complete but no token
        harness.script.pushPoll(answers::token(QStringLiteral("after-failures")));
        auto vm = harness.makeViewModel();

        vm->startTelegramLogin();
        QTRY_COMPARE(vm->stateCase(), AppState::Case::idle);
        QTRY_COMPARE(flags(*vm), neither);
        QCOMPARE(harness.store->token, some("after-failures"));
        // Firings overlap slow answers on a loaded machine, so one more may have gone out.
        QVERIFY(harness.count(pollPath) >= 6);
    }

    void unusableTokensCountAsNone_data() {
        QTest::addColumn<QString>("token");
        QTest::newRow("CR LF") << QStringLiteral("abc\r\nX-Injected: 1");
        QTest::newRow("space") << QStringLiteral("abc def");
        QTest::newRow("empty") << QString();
        QTest::newRow("non-ASCII") << QStringLiteral("токен");
        QTest::newRow("padding inside") << QStringLiteral("ab=c");
    }
    void unusableTokensCountAsNone() {
        QFETCH(QString, token);
        // Stored by an earlier run: start-up asks nobody about it.
        Harness stored(token);
        auto startup = stored.makeViewModel();
        QTest::qWait(200);
        QVERIFY(!startup->authToken());
        QCOMPARE(stored.count(profilePath), 0);

        // Delivered by a poll: the wait goes on until the budget is spent.
        Harness polled;
        polled.script.pushStart(answers::start(QStringLiteral("n-bad"), 4)); // 2 polls
        polled.script.pushPoll(answers::token(token));
        auto vm = polled.makeViewModel();
        vm->startTelegramLogin();
        QTRY_COMPARE(flags(*vm), timedOut);
        QVERIFY(!vm->authToken());
        QCOMPARE(polled.store->saves, 0);
        QCOMPARE(polled.count(profilePath), 0);
    }

    void wellFormedTokenWithPaddingSignsIn() {
        Harness harness(QStringLiteral("Ab9-._~+/=="));
        auto vm = harness.makeViewModel();
        QTRY_COMPARE(vm->stateCase(), AppState::Case::idle);
        QCOMPARE(requestsTo(harness.server, profilePath).first().header("Authorization"),
                 std::optional<QByteArray>("Bearer Ab9-._~+/=="));
    }

    void profileAnswerForAnOldTokenChangesNothing() {
        Harness harness(QStringLiteral("old-token"));
        harness.script.setProfile([] {
            TestAnswer slow = answers::profile(3, QStringLiteral("Старый"));
            slow.delay = 600ms;
            return slow;
        }());
        auto vm = harness.makeViewModel();
        QTRY_COMPARE(harness.count(profilePath), 1);
        // Signed out while the start-up check is still under way.
        vm->logout();
        QTest::qWait(1000);
        QCOMPARE(vm->stateCase(), AppState::Case::notLoggedIn);
        QVERIFY(!vm->authToken());
    }

    // The start-up check with an old token hangs; the user signs in again meanwhile. The old
    // token's refusal, arriving last, must not sign the new session out.
    void oldTokensLateRefusalAfterANewSignInChangesNothing() {
        Harness harness(QStringLiteral("old-token"));
        harness.server.setHandler([&harness](const RecordedRequest &request) {
            if (request.target.endsWith("/auth/me") &&
                request.header("Authorization") == QByteArray("Bearer old-token")) {
                TestAnswer refused = answers::json({}, 401);
                refused.delay = 1500ms;
                return refused;
            }
            return harness.script.answer(request);
        });
        harness.script.pushStart(answers::start(QStringLiteral("n-new"), 600));
        harness.script.pushPoll(answers::token(QStringLiteral("new-token")));
        auto vm = harness.makeViewModel();
        QTRY_COMPARE(harness.count(profilePath), 1);

        vm->startTelegramLogin();
        QTRY_COMPARE(vm->stateCase(), AppState::Case::idle);
        QTRY_COMPARE(harness.server.requests().size(), 4); // old check, start, poll, new check
        QTest::qWait(1800);                                // the old refusal arrives
        QCOMPARE(vm->stateCase(), AppState::Case::idle);
        QCOMPARE(vm->authToken(), some("new-token"));
    }

    void failedProfileAfterTokenStaysSignedOut() {
        Harness harness;
        harness.script.pushStart(answers::start(QStringLiteral("n-p"), 600));
        harness.script.pushPoll(answers::token(QStringLiteral("kept-token")));
        harness.script.setProfile(answers::json({}, 401));
        auto vm = harness.makeViewModel();

        vm->startTelegramLogin();
        QTRY_COMPARE(harness.count(profilePath), 1);
        QTRY_COMPARE(flags(*vm), neither);
        QCOMPARE(vm->stateCase(), AppState::Case::notLoggedIn);
        QCOMPARE(harness.store->token, some("kept-token"));
        QCOMPARE(vm->authToken(), some("kept-token"));
    }

    void lateTokenAfterTimeoutStillSignsIn() {
        Harness harness;
        harness.script.pushStart(answers::start(QStringLiteral("n-late"), 2)); // 1 poll
        TestAnswer lateToken = answers::token(QStringLiteral("late-token"));
        lateToken.delay = 400ms; // answers well after the timeout firing
        harness.script.pushPoll(lateToken);
        auto vm = harness.makeViewModel();

        vm->startTelegramLogin();
        QTRY_COMPARE(flags(*vm), timedOut);
        QTRY_COMPARE(vm->stateCase(), AppState::Case::idle);
        QCOMPARE(flags(*vm), neither);
        QCOMPARE(harness.store->token, some("late-token"));
    }

    void destroyedWhileARequestIsInFlight_data() {
        QTest::addColumn<QByteArray>("pathPart");
        QTest::newRow("start-up profile check") << profilePath;
        QTest::newRow("sign-in start") << startPath;
        QTest::newRow("poll that brings a token") << pollPath;
    }
    // The answers arrive after the view model is gone; nothing may touch it, and a late token
    // must not be stored by a view model that no longer exists.
    void destroyedWhileARequestIsInFlight() {
        QFETCH(QByteArray, pathPart);
        const bool atStartup = pathPart == profilePath;
        Harness harness(atStartup ? some("t") : std::nullopt);
        const auto late = 300ms;
        TestAnswer start = answers::start(QStringLiteral("n-gone"), 600);
        TestAnswer token = answers::token(QStringLiteral("orphan-token"));
        TestAnswer profile = answers::profile(1, QStringLiteral("Анна"));
        (pathPart == startPath ? start : pathPart == pollPath ? token : profile).delay = late;
        harness.script.pushStart(start);
        harness.script.pushPoll(token);
        harness.script.setProfile(profile);

        auto vm = harness.makeViewModel();
        QPointer<AppViewModel> watch(vm.get());
        if (!atStartup)
            vm->startTelegramLogin();
        QTRY_COMPARE(harness.count(pathPart), 1);
        vm.reset();
        QVERIFY(watch.isNull());
        // Long enough for the late answer to arrive and every suspended task to resume.
        QTest::qWait(3 * late.count());
        QCOMPARE(harness.links->opened.size(), pathPart == pollPath ? 1 : 0);
        QCOMPARE(harness.store->saves, 0);
        QCOMPARE(harness.count(profilePath), atStartup ? 1 : 0);
    }
};

QTEST_MAIN(TestAppViewModel)
#include "tst_appviewmodel.moc"
