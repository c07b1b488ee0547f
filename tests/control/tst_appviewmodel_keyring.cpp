// The view model as the program builds it: service address from the build (with the loopback
// override of test builds) and the token in the real Secret Service. Runs inside a private
// keyring session.

#include "ApiBaseUrl.h"
#include "AppViewModel.h"
#include "AudioRecorder.h"
#include "AuthBridge.h"
#include "ControlTestDoubles.h"
#include "DesktopLinkOpener.h"
#include "KeyringTokenStore.h"

#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTest>

#include <csignal>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(TestAnswer)

// What the program's entry hands its view model.
AppViewModel::Seams programSeams() {
    const QString apiBaseUrl = ApiBaseUrl::fromBuild();
    return {.apiBaseUrl = apiBaseUrl,
            .tokenStore = std::make_shared<KeyringTokenStore>(ApiBaseUrl::tokenOrigin(apiBaseUrl)),
            .linkOpener = std::make_shared<DesktopLinkOpener>(),
            .recorder = &AudioRecorder::shared()};
}

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
        m_origin = m_server->origin();
    }

    void cleanup() {
        qunsetenv("TOLVEX_API_BASE_URL");
        m_server.reset();
        m_script.reset();
        AuthBridge::deleteToken(m_origin);
        AuthBridge::deleteToken();
    }

    // The stored token signs in until a sign-out removes it; one the service refuses at launch,
    // or could not be asked about, stays (the sign-in screen shows) until a new sign-in.
    void storedTokenAtStartUp_data() {
        QTest::addColumn<TestAnswer>("answer");
        QTest::addColumn<bool>("kept");
        QTest::newRow("profile") << answers::profile(5, QStringLiteral("Гена")) << true;
        QTest::newRow("401") << answers::json({{"user_id", 1}}, 401) << true;
        QTest::newRow("403") << answers::json({}, 403) << true;
        QTest::newRow("500 not JSON") << answers::notJson(500) << true;
        QTest::newRow("dropped connection") << TestAnswer::drop() << true;
    }
    void storedTokenAtStartUp() {
        QFETCH(TestAnswer, answer);
        QFETCH(bool, kept);
        AuthBridge::saveToken(QStringLiteral("kept-token"), m_origin);
        m_script->setProfile(answer);

        AppViewModel vm(programSeams());
        QCOMPARE(vm.apiBaseURL(), m_server->baseUrl());
        QTRY_VERIFY(!m_server->requests().isEmpty());
        QCOMPARE(m_server->requests()[0].header("Authorization"),
                 std::optional<QByteArray>("Bearer kept-token"));
        QTRY_COMPARE(vm.authToken().has_value(), kept);
        QTest::qWait(300);
        QCOMPARE(AuthBridge::loadToken(m_origin).has_value(), kept);
        if (QTest::currentDataTag() != QByteArrayLiteral("profile")) {
            QCOMPARE(vm.stateCase(), AppState::Case::notLoggedIn);
            return;
        }
        QCOMPARE(vm.state(), AppState::idle({5, QStringLiteral("Гена")}));
        vm.logout();
        QCOMPARE(vm.stateCase(), AppState::Case::notLoggedIn);
        QTRY_VERIFY(!AuthBridge::loadToken(m_origin));
    }

    // A program pointed at a test service must never send it the released service's token.
    void releasedTokenStaysWithTheReleasedService() {
        AuthBridge::saveToken(QStringLiteral("released-token"));
        AppViewModel vm(programSeams());
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
        // The process that serves the Secret Service on this test's private bus.
        const uint daemon = QDBusConnection::sessionBus().interface()->servicePid(
            QStringLiteral("org.freedesktop.secrets"));
        QVERIFY(daemon > 0);
        QCOMPARE(::kill(static_cast<pid_t>(daemon), SIGSTOP), 0);
        auto resume = qScopeGuard([daemon] { ::kill(static_cast<pid_t>(daemon), SIGCONT); });

        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        QElapsedTimer elapsed;
        elapsed.start();
        ticker.start(20);
        AppViewModel vm(programSeams());
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

private:
    std::unique_ptr<TestHttpServer> m_server;
    std::unique_ptr<ServiceScript> m_script;
    QString m_origin;
};

QTEST_MAIN(TestAppViewModelKeyring)
#include "tst_appviewmodel_keyring.moc"
