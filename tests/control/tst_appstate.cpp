// State equality: the screens are told of every assignment, and tests compare states, so two
// states are equal only when their case and payload are.

#include "AppState.h"

#include <QTest>

class TestAppState : public QObject {
    Q_OBJECT

private slots:
    void equalityLooksAtThePayload() {
        const UserProfileVM anna{7, QStringLiteral("Анна")};
        const QDateTime started = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
        QCOMPARE(AppState(), AppState::notLoggedIn());
        QCOMPARE(AppState::idle(anna), AppState::idle(anna));
        QVERIFY(AppState::idle(anna) != AppState::idle(UserProfileVM{7, std::nullopt}));
        QVERIFY(AppState::idle(anna) != AppState::recording(anna, started));
        QVERIFY(AppState::recording(anna, started) !=
                AppState::recording(anna, started.addSecs(1)));
        QVERIFY(AppState::uploadError(QStringLiteral("a")) !=
                AppState::uploadError(QStringLiteral("b")));
        QVERIFY(AppState::notLoggedIn() != AppState::uploading());
    }
};

QTEST_GUILESS_MAIN(TestAppState)
#include "tst_appstate.moc"
