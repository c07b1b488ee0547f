// The manifest that lets a recording outlive the program, and the recordings folder it lives in.

#include "RecordingArchive.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <condition_variable>
#include <limits>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString id = QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E");

RecordingManifest sample() {
    RecordingManifest manifest;
    manifest.id = id;
    manifest.meetingId = 4'503'599'627'370'496;
    manifest.userId = 7;
    manifest.apiBaseUrl = QStringLiteral("http://127.0.0.1:8765/api");
    manifest.startTime = QDateTime(QDate(2026, 12, 6), QTime(14, 5, 7, 250), Qt::UTC);
    manifest.partFiles = {QStringLiteral("sys_%1.m4a").arg(id),
                          QStringLiteral("mic_%1.m4a").arg(id)};
    manifest.mixedFile = id + QStringLiteral(".m4a");
    manifest.mixLength = std::chrono::milliseconds(2'600'000);
    manifest.stage = RecordingManifest::Stage::mixed;
    manifest.trackCut = true;
    manifest.cutTrack = CaptureTrack::microphone;
    return manifest;
}

// The sample's JSON with one field replaced (or removed, with a null value).
QByteArray withField(const char *name, const QByteArray &value) {
    QByteArray json = sample().toJson();
    const QByteArray key = '"' + QByteArray(name) + "\": ";
    const qsizetype start = json.indexOf(key);
    qsizetype end = start + key.size();
    int depth = 0;
    for (; end < json.size(); ++end) {
        const char c = json[end];
        if (c == '[')
            ++depth;
        else if (c == ']')
            --depth;
        else if (depth == 0 && (c == ',' || c == '\n'))
            break;
    }
    return json.left(start) + (value.isNull() ? QByteArray("\"unused\": 0") : key + value) +
           json.mid(end);
}

const QString idA = QStringLiteral("AAAAAAAA-0000-4000-8000-000000000001");
const QString idB = QStringLiteral("BBBBBBBB-0000-4000-8000-000000000002");
const QString idC = QStringLiteral("CCCCCCCC-0000-4000-8000-000000000003");

void touch(const QString &path) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("audio") == 5);
}

RecordingManifest manifestFor(const QString &id) {
    RecordingManifest manifest;
    manifest.id = id;
    manifest.meetingId = 7;
    manifest.startTime = QDateTime::currentDateTimeUtc();
    manifest.partFiles = {QStringLiteral("sys_%1.m4a").arg(id)};
    manifest.stage = RecordingManifest::Stage::capturing;
    return manifest;
}

QStringList namesIn(const QString &folder) {
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

} // namespace

class TestRecordingManifest : public QObject {
    Q_OBJECT

private slots:
    void readsBackWhatWasWritten() {
        const RecordingManifest full = sample();
        QCOMPARE(RecordingManifest::fromJson(full.toJson()), std::optional(full));

        RecordingManifest early = sample();
        early.meetingId.reset();
        early.partFiles.clear();
        early.mixedFile.clear();
        early.stage = RecordingManifest::Stage::meetingCreated;
        QCOMPARE(RecordingManifest::fromJson(early.toJson()), std::optional(early));

        // Every id the service can send, beyond what a JSON double holds exactly.
        for (const std::int64_t meeting :
             {std::numeric_limits<std::int64_t>::min(), std::int64_t(-1),
              std::int64_t(9'007'199'254'740'993), std::numeric_limits<std::int64_t>::max()}) {
            RecordingManifest other = sample();
            other.meetingId = meeting;
            other.userId = meeting;
            QCOMPARE(RecordingManifest::fromJson(other.toJson()), std::optional(other));
        }
    }

    void damagedOrPlantedReadsAsNothing_data() {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("cut in half") << sample().toJson().left(60);
        QTest::newRow("newer version") << withField("version", "2");
        QTest::newRow("no id") << withField("id", QByteArray());
        QTest::newRow("id with a path")
            << withField("id", "\"../0F8FAD5B-D9CB-469F-A165-70867728950E\"");
        QTest::newRow("part outside the folder") << withField("partFiles", "[\"../../.bashrc\"]");
        QTest::newRow("absolute part") << withField("partFiles", "[\"/home/u/notes.m4a\"]");
        // The mix made while recording is neither a part nor the recording.
        QTest::newRow("live mix as a part")
            << withField("partFiles", "[\"live_" + id.toUtf8() + ".m4a\"]");
        QTest::newRow("mixed file with a path") << withField("mixedFile", "\"a/b.m4a\"");
        QTest::newRow("meeting id as text") << withField("meetingId", "\"12\"");
        QTest::newRow("fractional meeting id") << withField("meetingId", "1.5");
        QTest::newRow("meeting id beyond 64 bits") << withField("meetingId", "9223372036854775808");
        QTest::newRow("address as a number") << withField("apiBaseUrl", "8765");
        QTest::newRow("bad start time") << withField("startTime", "\"yesterday\"");
        QTest::newRow("part with a line break")
            << withField("partFiles", "[\"sys_" + id.toUtf8() + ".m4a\\n\"]");
        QTest::newRow("unknown cut track") << withField("cutTrack", "\"left\"");
        QTest::newRow("unknown stage") << withField("stage", "\"uploaded\"");
        QByteArray huge = sample().toJson();
        huge.insert(1, "\"padding\": \"" + QByteArray(RecordingManifest::maxBytes, 'x') + "\",");
        QTest::newRow("oversized") << huge;
    }
    void damagedOrPlantedReadsAsNothing() {
        QFETCH(QByteArray, json);
        QCOMPARE(RecordingManifest::fromJson(json), std::nullopt);
    }

    void leftoversWithoutAudioAreCleanedAway() {
        QTemporaryDir folder;
        const RecordingArchive archive(folder.path());
        QVERIFY(archive.save(manifestFor(idA)));
        touch(archive.pathOf(idB + QStringLiteral(".json.Xa81Qz"))); // a cut-short write
        touch(archive.pathOf(QStringLiteral("notes.txt")));
        QVERIFY(QFile::link(QStringLiteral("/etc/hostname"),
                            archive.pathOf(QStringLiteral("sys_%1.m4a").arg(idC))));
        const QStringList fifos{idC + QStringLiteral(".json"), idC + QStringLiteral(".m4a")};
        for (const QString &name : fifos)
            QCOMPARE(::mkfifo(QFile::encodeName(archive.pathOf(name)).constData(), 0600), 0);
        // A reader stuck in a FIFO's open() gets its end of file after 3 s, not a hung test.
        const std::jthread watchdog([&](std::stop_token stop) {
            std::mutex mutex;
            std::unique_lock lock(mutex);
            if (std::condition_variable_any().wait_for(lock, stop, std::chrono::seconds(3),
                                                       [] { return false; }) ||
                stop.stop_requested())
                return;
            for (const QString &name : fifos) {
                const QByteArray path = QFile::encodeName(archive.pathOf(name));
                if (const int fd = ::open(path.constData(), O_RDWR | O_NONBLOCK); fd >= 0)
                    ::close(fd);
            }
        });

        QVERIFY(archive.unfinished().isEmpty());
        // The planted link and FIFOs are not a recording; the foreign file is not ours to remove.
        QCOMPARE(namesIn(folder.path()),
                 (fifos +
                  QStringList{QStringLiteral("notes.txt"), QStringLiteral("sys_%1.m4a").arg(idC)}));
    }

    void removeTakesOnlyThatRecording() {
        QTemporaryDir folder;
        const RecordingArchive archive(folder.path());
        for (const QString &id : {idA, idB}) {
            QVERIFY(archive.save(manifestFor(id)));
            for (const char *name : {"sys_%1.m4a", "mic_%1.m4a", "live_%1.m4a", "%1.m4a"})
                touch(archive.pathOf(QString::fromLatin1(name).arg(id)));
        }
        archive.remove(idA);
        archive.remove(QStringLiteral("../") + idB); // not an id: nothing
        const QStringList left = namesIn(folder.path());
        QCOMPARE(left.size(), 5);
        for (const QString &name : left)
            QVERIFY2(name.contains(idB), qPrintable(name));
    }
};

QTEST_GUILESS_MAIN(TestRecordingManifest)
#include "tst_recordingmanifest.moc"
