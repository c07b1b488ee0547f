// The view model as the program builds it: service address from the build (with the loopback
// override of test builds), the token in the real Secret Service, links through the desktop's
// URL handlers, and the 2.0 s poll interval. Runs inside a private keyring session.

#include "ApiBaseUrl.h"
#include "AppViewModel.h"
#include "AuthBridge.h"
#include "ControlTestDoubles.h"

#include <QCoroTask>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(TestAnswer)

namespace {

const QByteArray pollPath = "/api/auth/app-login/poll/";
const QByteArray profilePath = "/api/auth/me";

// The process that serves the Secret Service on this test's private bus, or 0.
qint64 keyringDaemonPid() {
    QProcess ask;
    ask.start(QStringLiteral("dbus-send"),
              {QStringLiteral("--session"), QStringLiteral("--print-reply"),
               QStringLiteral("--dest=org.freedesktop.DBus"),
               QStringLiteral("/org/freedesktop/DBus"),
               QStringLiteral("org.freedesktop.DBus.GetConnectionUnixProcessID"),
               QStringLiteral("string:org.freedesktop.secrets")});
    if (!ask.waitForFinished(10000))
        return 0;
    const auto match =
        QRegularExpression(QStringLiteral("uint32 (\\d+)")).match(QString::fromUtf8(ask.readAll()));
    return match.hasMatch() ? match.captured(1).toLongLong() : 0;
}

} // namespace

// Stands in for Telegram Desktop: receives what QDesktopServices hands to the "tg" handler.
class UrlCatcher : public QObject {
    Q_OBJECT

public:
    QList<QUrl> urls;

public slots:
    void openUrl(const QUrl &url) { urls.append(url); }
};

class TestAppViewModelKeyring : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        if (!TOLVEX_TEST_DEV_OVERRIDES) {
            QSKIP("this build ignores TOLVEX_API_BASE_URL, so the program cannot reach the test "
                  "service");
        }
        // Without a working keyring every test here would pass for the wrong reason.
        AuthBridge::saveToken(QStringLiteral("probe"));
        QCOMPARE(AuthBridge::loadToken(), std::optional<QString>(QStringLiteral("probe")));
        AuthBridge::deleteToken();
    }

    void init() {
        m_script = std::make_unique<ServiceScript>();
        m_server = std::make_unique<TestHttpServer>();
        m_server->setHandler([script = m_script.get()](const RecordedRequest &request) {
            return script->answer(request);
        });
        qputenv("TOLVEX_API_BASE_URL", m_server->baseUrl().toUtf8());
        // The program keeps the token of a test service apart from the released service's.
        m_origin = ApiBaseUrl::tokenOrigin(m_server->baseUrl());
        QVERIFY(!m_origin.isEmpty());
        AuthBridge::deleteToken(m_origin);
        AuthBridge::deleteToken();
    }

    void cleanup() {
        qunsetenv("TOLVEX_API_BASE_URL");
        m_server.reset();
        m_script.reset();
        AuthBridge::deleteToken(m_origin);
        AuthBridge::deleteToken();
    }

    void storedTokenSignsInUntilTheLogoutRemovesIt() {
        AuthBridge::saveToken(QStringLiteral("kept-token"), m_origin);
        TestAnswer slowProfile = answers::profile(5, QStringLiteral("Гена"));
        slowProfile.delay = 300ms;
        m_script->setProfile(slowProfile);
        {
            AppViewModel vm;
            QSignalSpy changed(&vm, &AppViewModel::changed);
            QCOMPARE(vm.apiBaseURL(), m_server->baseUrl());
            QTRY_VERIFY(vm.hasLoadedStoredToken());
            QCOMPARE(vm.authToken(), std::optional<QString>(QStringLiteral("kept-token")));
            QVERIFY(m_server->waitForRequests(1));
            QCOMPARE(vm.stateCase(), AppState::Case::notLoggedIn);
            QTRY_COMPARE(vm.stateCase(), AppState::Case::idle);
            QCOMPARE(changed.count(), 1);
            QCOMPARE(vm.state(), AppState::idle({5, QStringLiteral("Гена")}));

            vm.logout();
            QCOMPARE(changed.count(), 2);
            QCOMPARE(vm.stateCase(), AppState::Case::notLoggedIn);
            QVERIFY(!vm.authToken());
            QTRY_VERIFY(!AuthBridge::loadToken(m_origin));
            // Without a token a refresh asks nothing, and neither does the next start-up.
            QCoro::waitFor(vm.refreshProfile());
            QCOMPARE(vm.stateCase(), AppState::Case::notLoggedIn);
        }
        AppViewModel next;
        QTRY_VERIFY(next.hasLoadedStoredToken());
        QTest::qWait(300);
        QVERIFY(!next.authToken());
        QCOMPARE(next.stateCase(), AppState::Case::notLoggedIn);
        const QList<RecordedRequest> requests = m_server->requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].method + ' ' + requests[0].target, "GET " + profilePath);
        QCOMPARE(requests[0].header("Authorization"),
                 std::optional<QByteArray>("Bearer kept-token"));
    }

    void failedProfileCheckKeepsTheToken_data() {
        QTest::addColumn<TestAnswer>("answer");
        QTest::newRow("401") << answers::json({{"user_id", 1}}, 401);
        QTest::newRow("500 not JSON") << answers::notJson(500);
        QTest::newRow("dropped connection") << TestAnswer::drop();
    }
    void failedProfileCheckKeepsTheToken() {
        QFETCH(TestAnswer, answer);
        AuthBridge::saveToken(QStringLiteral("refused"), m_origin);
        m_script->setProfile(answer);

        AppViewModel vm;
        QSignalSpy changed(&vm, &AppViewModel::changed);
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(vm.stateCase(), AppState::Case::notLoggedIn);
        QCOMPARE(vm.authToken(), std::optional<QString>(QStringLiteral("refused")));
        QCOMPARE(AuthBridge::loadToken(m_origin),
                 std::optional<QString>(QStringLiteral("refused")));
    }

    // A program pointed at a test service must never send it the released service's token.
    void releasedTokenStaysWithTheReleasedService() {
        AuthBridge::saveToken(QStringLiteral("released-token"));
        AppViewModel vm;
        QTRY_VERIFY(vm.hasLoadedStoredToken());
        QVERIFY(!vm.authToken());
        QTest::qWait(200);
        QCOMPARE(m_server->requests().size(), 0);
        QCOMPARE(AuthBridge::loadToken(), std::optional<QString>(QStringLiteral("released-token")));
    }

    // A keyring that does not answer (stopped here, as a hung provider or an unlock prompt
    // would be) must not hold up the GUI thread; the token arrives when it answers.
    void stalledKeyringNeverFreezesTheGuiThread() {
        AuthBridge::saveToken(QStringLiteral("late-token"), m_origin);
        const qint64 daemon = keyringDaemonPid();
        QVERIFY(daemon > 0);
        QCOMPARE(::kill(static_cast<pid_t>(daemon), SIGSTOP), 0);
        auto resume = qScopeGuard([daemon] { ::kill(static_cast<pid_t>(daemon), SIGCONT); });

        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        QElapsedTimer elapsed;
        elapsed.start();
        ticker.start(20);
        AppViewModel vm;
        QTest::qWait(1500);
        // One tick per 20 ms while the thread is free; a blocked thread makes up none of those
        // it missed. A third of the due ticks leaves room for a loaded machine.
        const qint64 due = elapsed.elapsed() / 20;
        QVERIFY2(ticks >= due / 3, qPrintable(QStringLiteral("%1 of %2").arg(ticks).arg(due)));
        QVERIFY(!vm.hasLoadedStoredToken());
        QCOMPARE(vm.stateCase(), AppState::Case::notLoggedIn);

        ::kill(static_cast<pid_t>(daemon), SIGCONT);
        QTRY_COMPARE_WITH_TIMEOUT(vm.authToken(),
                                  std::optional<QString>(QStringLiteral("late-token")), 15000);
        QTRY_COMPARE(vm.stateCase(), AppState::Case::idle);
    }

    // The whole sign-in with the program's own parts; the first poll comes one interval after the
    // start answer, so this also measures the production interval.
    void signInStoresTokenPollingEveryTwoSeconds() {
        UrlCatcher telegram;
        QDesktopServices::setUrlHandler(QStringLiteral("tg"), &telegram, "openUrl");
        auto unregister =
            qScopeGuard([] { QDesktopServices::unsetUrlHandler(QStringLiteral("tg")); });

        using Clock = std::chrono::steady_clock;
        std::mutex mutex;
        std::vector<std::pair<QByteArray, Clock::time_point>> arrivals;
        m_server->setHandler([&](const RecordedRequest &request) {
            {
                std::lock_guard lock(mutex);
                arrivals.emplace_back(request.target, Clock::now());
            }
            return m_script->answer(request);
        });
        m_script->pushStart(answers::start(QStringLiteral("n-real"), 600,
                                           QStringLiteral("https://t.me/TolvexBot?start=n-real")));
        m_script->pushPoll(answers::pending());
        m_script->pushPoll(answers::token(QStringLiteral("issued-token")));
        m_script->setProfile(answers::profile(11, QStringLiteral("Дина")));

        AppViewModel vm;
        vm.startTelegramLogin();
        QTRY_COMPARE(telegram.urls.size(), 1);
        QCOMPARE(telegram.urls[0].toString(QUrl::FullyEncoded),
                 QStringLiteral("tg://resolve?domain=TolvexBot&start=n-real"));

        QTRY_COMPARE_WITH_TIMEOUT(vm.stateCase(), AppState::Case::idle, 15000);
        QTRY_VERIFY(!vm.isPollingAuth());
        QCOMPARE(AuthBridge::loadToken(m_origin),
                 std::optional<QString>(QStringLiteral("issued-token")));
        QCOMPARE(AuthBridge::loadToken(), std::nullopt);

        std::lock_guard lock(mutex);
        QCOMPARE(arrivals.size(), std::size_t{4}); // start, two polls, profile
        QVERIFY(arrivals[1].first.startsWith(pollPath));
        QVERIFY(arrivals[2].first.startsWith(pollPath));
        const auto gap = [&](std::size_t i) {
            return std::chrono::duration_cast<std::chrono::milliseconds>(arrivals[i].second -
                                                                         arrivals[i - 1].second)
                .count();
        };
        // Two seconds apart, not one or four; a loaded machine may delay one request more
        // than the other, and the first gap includes the link hand-over.
        QVERIFY2(gap(1) >= 1500 && gap(1) < 5000 && gap(2) >= 1500 && gap(2) < 3500,
                 qPrintable(QStringLiteral("%1 ms, %2 ms").arg(gap(1)).arg(gap(2))));
    }

private:
    std::unique_ptr<TestHttpServer> m_server;
    std::unique_ptr<ServiceScript> m_script;
    QString m_origin;
};

QTEST_MAIN(TestAppViewModelKeyring)
#include "tst_appviewmodel_keyring.moc"
