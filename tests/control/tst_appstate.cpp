// What each state case gives the screens: its case, profile, start time and error text.

#include "AppState.h"

#include <QTest>

Q_DECLARE_METATYPE(AppState)

namespace {
const UserProfileVM anna{7, QStringLiteral("Анна")};
const QDateTime started = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
} // namespace

class TestAppState : public QObject {
    Q_OBJECT

private slots:
    void payloads_data() {
        QTest::addColumn<AppState>("state");
        QTest::addColumn<AppState::Case>("kind");
        QTest::addColumn<bool>("hasProfile");
        QTest::addColumn<QDateTime>("startTime");
        QTest::addColumn<QString>("errorText");

        QTest::newRow("default") << AppState() << AppState::Case::notLoggedIn << false
                                 << QDateTime() << QString();
        QTest::newRow("idle") << AppState::idle(anna) << AppState::Case::idle << true << QDateTime()
                              << QString();
        QTest::newRow("recording") << AppState::recording(anna, started)
                                   << AppState::Case::recording << true << started << QString();
        QTest::newRow("uploadError")
            << AppState::uploadError(QStringLiteral("Файл записи не найден"))
            << AppState::Case::uploadError << false << QDateTime()
            << QStringLiteral("Файл записи не найден");
        QTest::newRow("notLoggedIn") << AppState::notLoggedIn() << AppState::Case::notLoggedIn
                                     << false << QDateTime() << QString();
        QTest::newRow("uploading") << AppState::uploading() << AppState::Case::uploading << false
                                   << QDateTime() << QString();
    }

    void payloads() {
        QFETCH(AppState, state);
        QFETCH(AppState::Case, kind);
        QFETCH(bool, hasProfile);
        QFETCH(QDateTime, startTime);
        QFETCH(QString, errorText);

        QCOMPARE(state.kind(), kind);
        QCOMPARE(state.profile(), hasProfile ? std::optional<UserProfileVM>(anna) : std::nullopt);
        QCOMPARE(state.startTime(), startTime);
        QCOMPARE(state.errorText(), errorText);
    }

    void equalityLooksAtThePayload() {
        QCOMPARE(AppState::idle(anna), AppState::idle(anna));
        QVERIFY(AppState::idle(anna) != AppState::idle(UserProfileVM{7, std::nullopt}));
        QVERIFY(AppState::recording(anna, started) !=
                AppState::recording(anna, started.addSecs(1)));
        QVERIFY(AppState::uploadError(QStringLiteral("a")) !=
                AppState::uploadError(QStringLiteral("b")));
        QVERIFY(AppState::notLoggedIn() != AppState::uploading());
    }
};

QTEST_GUILESS_MAIN(TestAppState)
#include "tst_appstate.moc"
