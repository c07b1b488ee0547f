// Where the popover opens: under the icon or the pointer, above them at a bottom panel, and
// never outside the screen's free area.

#include "PopoverPlacement.h"

#include <QTest>

class TestPopoverPlacement : public QObject {
    Q_OBJECT

private slots:
    void topLeft_data();
    void topLeft();
};

void TestPopoverPlacement::topLeft_data() {
    QTest::addColumn<QRect>("icon");
    QTest::addColumn<QPoint>("cursor");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QPoint>("expected");

    const QRect belowTopPanel(0, 28, 1920, 1052);
    const QPoint farCursor(5, 900); // must not matter while the icon's place is known

    QTest::newRow("icon in a top panel: centred below it")
        << QRect(1000, 2, 24, 24) << farCursor << belowTopPanel << QPoint(862, 30);
    QTest::newRow("icon at the right end: kept inside")
        << QRect(1890, 2, 24, 24) << farCursor << belowTopPanel << QPoint(1620, 30);
    QTest::newRow("icon in a bottom panel: above it")
        << QRect(1800, 1053, 24, 24) << farCursor << QRect(0, 0, 1920, 1050) << QPoint(1620, 649);
    QTest::newRow("no icon geometry: below the pointer")
        << QRect() << QPoint(500, 10) << QRect(0, 0, 1920, 1080) << QPoint(351, 15);
    QTest::newRow("pointer in the bottom-right corner")
        << QRect() << QPoint(1919, 1079) << QRect(0, 0, 1920, 1080) << QPoint(1620, 675);
    QTest::newRow("second screen to the right")
        << QRect(3150, 0, 22, 22) << farCursor << QRect(1920, 0, 1280, 1024) << QPoint(2900, 26);
}

void TestPopoverPlacement::topLeft() {
    QFETCH(QRect, icon);
    QFETCH(QPoint, cursor);
    QFETCH(QRect, available);
    QFETCH(QPoint, expected);
    QCOMPARE(PopoverPlacement::topLeft(icon, cursor, available, QSize(300, 400)), expected);
}

QTEST_GUILESS_MAIN(TestPopoverPlacement)
#include "tst_popoverplacement.moc"
