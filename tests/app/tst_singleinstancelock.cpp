// One copy per user: a second lock in the same folder is refused while the first is held,
// by this process or another one, and a lock left by a copy that was killed is taken over.
//
// Run with "--hold <folder>", this program is that other copy: it takes the lock, says
// "held" or "refused" on its standard output and waits to be killed.

#include "SingleInstanceLock.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <unistd.h>

namespace {

int holdLock(const QString &folder) {
    SingleInstanceLock lock(folder);
    const bool held = lock.tryAcquire() == SingleInstanceLock::Outcome::acquired;
    std::puts(held ? "held" : "refused");
    std::fflush(stdout);
    for (;;) {
        ::pause();
    }
}

} // namespace

class TestSingleInstanceLock : public QObject {
    Q_OBJECT

private slots:
    void secondLockInTheSameProcessIsRefusedUntilTheFirstGoes();
    void lockOfAnotherRunningCopyIsRefusedUntilItIsKilled();
    void missingFolderIsReportedNotMistakenForAnotherCopy();

private:
    // Starts a copy of this program that holds the lock in `folder`; returns what it said.
    QByteArray startHolder(QProcess &holder, const QString &folder);
};

QByteArray TestSingleInstanceLock::startHolder(QProcess &holder, const QString &folder) {
    holder.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hold"), folder});
    if (!holder.waitForStarted(5000) || !holder.waitForReadyRead(5000)) {
        return {};
    }
    return holder.readLine().trimmed();
}

void TestSingleInstanceLock::secondLockInTheSameProcessIsRefusedUntilTheFirstGoes() {
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    SingleInstanceLock second(folder.path());
    {
        SingleInstanceLock first(folder.path());
        QCOMPARE(first.tryAcquire(), SingleInstanceLock::Outcome::acquired);
        QVERIFY(QFile::exists(first.filePath()));
        QCOMPARE(second.tryAcquire(), SingleInstanceLock::Outcome::heldElsewhere);
    }
    QCOMPARE(second.tryAcquire(), SingleInstanceLock::Outcome::acquired);
}

void TestSingleInstanceLock::lockOfAnotherRunningCopyIsRefusedUntilItIsKilled() {
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    QProcess holder;
    QCOMPARE(startHolder(holder, folder.path()), QByteArray("held"));

    SingleInstanceLock lock(folder.path());
    QCOMPARE(lock.tryAcquire(), SingleInstanceLock::Outcome::heldElsewhere);
    // Asking again, later, does not wear the holder's lock down either.
    QTest::qWait(200);
    QCOMPARE(lock.tryAcquire(), SingleInstanceLock::Outcome::heldElsewhere);
    holder.kill(); // SIGKILL: no chance to remove its lock file
    QVERIFY(holder.waitForFinished(5000));
    QVERIFY2(QFile::exists(lock.filePath()), "the killed copy's lock file should still be there");
    QCOMPARE(lock.tryAcquire(), SingleInstanceLock::Outcome::acquired);

    // And the other way round: while this process holds the lock, another copy is refused.
    QTemporaryDir mineFolder;
    QVERIFY(mineFolder.isValid());
    SingleInstanceLock mine(mineFolder.path());
    QCOMPARE(mine.tryAcquire(), SingleInstanceLock::Outcome::acquired);
    QProcess refused;
    QCOMPARE(startHolder(refused, mineFolder.path()), QByteArray("refused"));
    refused.kill();
    QVERIFY(refused.waitForFinished(5000));
}

void TestSingleInstanceLock::missingFolderIsReportedNotMistakenForAnotherCopy() {
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    SingleInstanceLock lock(folder.filePath(QStringLiteral("no/such/folder")));
    QCOMPARE(lock.tryAcquire(), SingleInstanceLock::Outcome::unavailable);
}

int main(int argc, char *argv[]) {
    QCoreApplication application(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--hold") == 0)
        return holdLock(QString::fromLocal8Bit(argv[2]));
    TestSingleInstanceLock test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstancelock.moc"
