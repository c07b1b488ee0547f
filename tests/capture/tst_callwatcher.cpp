// How often the call watcher looks for a sound server that is not there.

#include "CallWatcher.h"

#include <QTest>

class CallWatcherTest : public QObject {
    Q_OBJECT

private slots:
    // A server that restarts is found again within seconds; a machine without one is knocked
    // on once in two minutes at most, not every few seconds.
    void reconnectsSoonThenSeldom_data() {
        QTest::addColumn<int>("failedTries");
        QTest::addColumn<int>("seconds");
        for (const auto &[tries, seconds] :
             {std::pair{0, 5}, {1, 10}, {2, 20}, {3, 40}, {4, 80}, {5, 120}, {60, 120}})
            QTest::addRow("%d tries", tries) << tries << seconds;
    }
    void reconnectsSoonThenSeldom() {
        QFETCH(int, failedTries);
        QFETCH(int, seconds);
        QCOMPARE(CallWatcher::reconnectSeconds(failedTries), seconds);
    }
};

QTEST_GUILESS_MAIN(CallWatcherTest)
#include "tst_callwatcher.moc"
