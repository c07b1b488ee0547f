// The recordings folder after quits and crashes: what is found, in which order, what is
// cleaned away, and that nothing but the recording's own files is ever removed.

#include "RecordingArchive.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString idA = QStringLiteral("AAAAAAAA-0000-4000-8000-000000000001");
const QString idB = QStringLiteral("BBBBBBBB-0000-4000-8000-000000000002");
const QString idC = QStringLiteral("CCCCCCCC-0000-4000-8000-000000000003");

void touch(const QString &path, const QDateTime &modified = {}) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("audio");
    file.flush(); // a later flush would set the modification time again
    if (modified.isValid())
        QVERIFY(file.setFileTime(modified, QFileDevice::FileModificationTime));
}

RecordingManifest manifestFor(const QString &id, const QDateTime &start) {
    RecordingManifest manifest;
    manifest.id = id;
    manifest.meetingId = 7;
    manifest.startTime = start;
    manifest.partFiles = {QStringLiteral("sys_%1.m4a").arg(id)};
    manifest.stage = RecordingManifest::Stage::capturing;
    return manifest;
}

QStringList namesIn(const QString &folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

} // namespace

class TestRecordingArchive : public QObject {
    Q_OBJECT

private slots:
    void leftoversWithoutAudioAreCleanedAway() {
        QTemporaryDir folder;
        const RecordingArchive archive(folder.path());
        QVERIFY(archive.save(manifestFor(idA, QDateTime::currentDateTimeUtc())));
        touch(archive.pathOf(idB + QStringLiteral(".json.Xa81Qz"))); // a cut-short write
        touch(archive.pathOf(QStringLiteral("notes.txt")));
        QVERIFY(QFile::link(QStringLiteral("/etc/hostname"),
                            archive.pathOf(QStringLiteral("sys_%1.m4a").arg(idC))));

        QVERIFY(archive.unfinished().isEmpty());
        // The planted link is not a recording; the foreign file is not ours to remove.
        QCOMPARE(namesIn(folder.path()),
                 (QStringList{QStringLiteral("notes.txt"), QStringLiteral("sys_%1.m4a").arg(idC)}));
    }

    void removeTakesOnlyThatRecording() {
        QTemporaryDir folder;
        const RecordingArchive archive(folder.path());
        for (const QString &id : {idA, idB}) {
            QVERIFY(archive.save(manifestFor(id, QDateTime::currentDateTimeUtc())));
            touch(archive.pathOf(QStringLiteral("sys_%1.m4a").arg(id)));
            touch(archive.pathOf(QStringLiteral("mic_%1.m4a").arg(id)));
            touch(archive.pathOf(QStringLiteral("live_%1.m4a").arg(id)));
            touch(archive.pathOf(id + QStringLiteral(".m4a")));
        }
        archive.remove(idA);
        archive.remove(QStringLiteral("../") + idB); // not an id: nothing
        const QStringList left = namesIn(folder.path());
        QCOMPARE(left.size(), 5);
        for (const QString &name : left)
            QVERIFY2(name.contains(idB), qPrintable(name));
    }
};

QTEST_GUILESS_MAIN(TestRecordingArchive)
#include "tst_recordingarchive.moc"
