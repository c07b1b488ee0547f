// The screens' arithmetic: the colour reader, the elapsed time, the meter bars, the screen for
// a state the program does not know.

#include "ScreenLogic.h"

#include <QTest>

#include <limits>

class TestScreenLogic : public QObject {
    Q_OBJECT

private slots:
    void colorFromHexReadsLikeThePlatformScanner_data();
    void colorFromHexReadsLikeThePlatformScanner();
    void elapsedTextShowsMinutesAndSeconds_data();
    void elapsedTextShowsMinutesAndSeconds();
    void barHeightScalesTheLevelAboveAFloor_data();
    void barHeightScalesTheLevelAboveAFloor();
    void barHeightsDifferBetweenDrawings();
    void unknownStateShowsTheSignInScreen();
};

void TestScreenLogic::colorFromHexReadsLikeThePlatformScanner_data() {
    QTest::addColumn<QString>("hex");
    QTest::addColumn<int>("red");
    QTest::addColumn<int>("green");
    QTest::addColumn<int>("blue");

    QTest::newRow("indigo") << "6366f1" << 99 << 102 << 241;
    QTest::newRow("number sign") << "#6366f1" << 99 << 102 << 241;
    QTest::newRow("spaces around") << "  6366f1 \t" << 99 << 102 << 241;
    QTest::newRow("0x prefix") << "0x6366f1" << 99 << 102 << 241;
    QTest::newRow("0X prefix") << "0X6366F1" << 99 << 102 << 241;
    QTest::newRow("punctuation both ends") << "#(6366f1);" << 99 << 102 << 241;
    QTest::newRow("eight digits keep the low 24 bits") << "8b5cf6ff" << 0x5c << 0xf6 << 0xff;
    QTest::newRow("three digits are not expanded") << "fff" << 0 << 15 << 255;
    QTest::newRow("stops at the first non-hex digit") << "12g456" << 0 << 0 << 0x12;
    QTest::newRow("inner space stops reading") << "ff 00" << 0 << 0 << 0xff;
    QTest::newRow("letters stay at the ends") << "abcdefxyz" << 0xab << 0xcd << 0xef;
    QTest::newRow("a Cyrillic letter at the end stays and stops reading")
        << "ff00ffж" << 0xff << 0x00 << 0xff;
    QTest::newRow("too many digits saturate") << "123456789abcdef0123" << 255 << 255 << 255;
    QTest::newRow("empty") << "" << 0 << 0 << 0;
    QTest::newRow("lone number sign") << "#" << 0 << 0 << 0;
    QTest::newRow("non-hex letters") << "xyz" << 0 << 0 << 0;
    QTest::newRow("0x without digits") << "0x" << 0 << 0 << 0;
}

void TestScreenLogic::colorFromHexReadsLikeThePlatformScanner() {
    QFETCH(QString, hex);
    QFETCH(int, red);
    QFETCH(int, green);
    QFETCH(int, blue);

    const QColor color = ScreenLogic::colorFromHex(hex);
    QCOMPARE(color.red(), red);
    QCOMPARE(color.green(), green);
    QCOMPARE(color.blue(), blue);
    QCOMPARE(color.alphaF(), 1.0f);
}

void TestScreenLogic::elapsedTextShowsMinutesAndSeconds_data() {
    QTest::addColumn<double>("seconds");
    QTest::addColumn<QString>("text");

    QTest::newRow("start") << 0.0 << "00:00";
    QTest::newRow("fraction is cut, not rounded") << 59.99 << "00:59";
    QTest::newRow("60 s") << 60.0 << "01:00";
    QTest::newRow("65 min 7 s, no hours") << 3907.0 << "65:07";
    QTest::newRow("6000 s") << 6000.0 << "100:00";
    QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << "00:00";
}

void TestScreenLogic::elapsedTextShowsMinutesAndSeconds() {
    QFETCH(double, seconds);
    QFETCH(QString, text);
    QCOMPARE(ScreenLogic::elapsedText(seconds), text);
}

void TestScreenLogic::barHeightScalesTheLevelAboveAFloor_data() {
    QTest::addColumn<double>("level");
    QTest::addColumn<double>("factor");
    QTest::addColumn<double>("height");

    QTest::newRow("silence") << 0.0 << 1.0 << 4.0;
    QTest::newRow("quiet stays at the floor") << 0.1 << 1.0 << 4.0;
    QTest::newRow("full scale, lowest factor") << 1.0 << 0.5 << 14.0;
    QTest::newRow("full scale, highest factor") << 1.0 << 1.0 << 28.0;
    QTest::newRow("half scale") << 0.5 << 0.8 << 11.2;
}

void TestScreenLogic::barHeightScalesTheLevelAboveAFloor() {
    QFETCH(double, level);
    QFETCH(double, factor);
    QFETCH(double, height);
    QCOMPARE(ScreenLogic::barHeight(level, factor), height);
}

void TestScreenLogic::barHeightsDifferBetweenDrawings() {
    // Each drawing takes fresh factors: at full scale twelve equal bars, or the same twelve
    // twice, would mean the random source is not used.
    const QList<double> first = ScreenLogic::barHeights(1.0, 12);
    const QList<double> second = ScreenLogic::barHeights(1.0, 12);
    QVERIFY(first != second);
    QVERIFY(std::any_of(first.begin(), first.end(), [&](double h) { return h != first[0]; }));
}

void TestScreenLogic::unknownStateShowsTheSignInScreen() {
    // The screen of every known state is checked where it is drawn, in tst_screens.
    QCOMPARE(ScreenLogic::screenFor(42), QStringLiteral("LoginView"));
}

QTEST_APPLESS_MAIN(TestScreenLogic)
#include "tst_screenlogic.moc"
