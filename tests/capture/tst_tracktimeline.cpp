// Where a source's chunks land on the recording's clock.

#include "TrackTimeline.h"

#include <QTest>

#include <vector>

namespace {

constexpr int rate = 44100;
constexpr std::int64_t ms = 1'000'000;
constexpr std::int64_t origin = 5'000 * ms; // an arbitrary steady-clock reading

struct Arrival {
    std::int64_t atMs;
    std::int64_t frames;
};

} // namespace

Q_DECLARE_METATYPE(std::vector<Arrival>)
Q_DECLARE_METATYPE(std::vector<std::int64_t>)

class TrackTimelineTest : public QObject {
    Q_OBJECT

private slots:
    void placesChunks_data() {
        QTest::addColumn<std::vector<Arrival>>("arrivals");
        QTest::addColumn<std::vector<std::int64_t>>("silences");

        QTest::newRow("on time: 20 ms chunks at 20 ms steps")
            << std::vector<Arrival>{{20, 882}, {40, 882}, {60, 882}}
            << std::vector<std::int64_t>{0, 0, 0};
        QTest::newRow("source starts 500 ms late: leading silence for the difference")
            << std::vector<Arrival>{{520, 882}, {540, 882}} << std::vector<std::int64_t>{22050, 0};
        QTest::newRow("one second without data becomes one second of silence")
            << std::vector<Arrival>{{20, 882}, {40, 882}, {1060, 882}}
            << std::vector<std::int64_t>{0, 0, 44100};
        QTest::newRow("jitter below the tolerance adds nothing")
            << std::vector<Arrival>{{20, 882}, {130, 882}, {140, 3528}}
            << std::vector<std::int64_t>{0, 0, 0};
        QTest::newRow("a late burst after a gap is not doubled")
            << std::vector<Arrival>{{20, 882}, {300, 882}, {310, 882}, {320, 882}}
            << std::vector<std::int64_t>{0, 11466, 0, 0};
        QTest::newRow("a chunk stamped before the origin counts from zero")
            << std::vector<Arrival>{{-30, 882}, {20, 882}} << std::vector<std::int64_t>{0, 0};
    }

    void placesChunks() {
        QFETCH(std::vector<Arrival>, arrivals);
        QFETCH(std::vector<std::int64_t>, silences);
        TrackTimeline timeline(origin, rate);
        std::int64_t expectedWritten = 0;
        for (std::size_t i = 0; i < arrivals.size(); ++i) {
            const std::int64_t silence =
                timeline.place(origin + arrivals[i].atMs * ms, arrivals[i].frames);
            QCOMPARE(silence, silences[i]);
            expectedWritten += silence + arrivals[i].frames;
            QCOMPARE(timeline.framesWritten(), expectedWritten);
        }
    }

    void padsToTheStop_data() {
        QTest::addColumn<std::vector<Arrival>>("arrivals");
        QTest::addColumn<std::int64_t>("stopMs");
        QTest::addColumn<std::int64_t>("padding");

        QTest::newRow("nothing ever arrived: the whole recording is silence")
            << std::vector<Arrival>{} << std::int64_t(3000) << std::int64_t(3 * rate);
        QTest::newRow("source went quiet 1 s before the stop")
            << std::vector<Arrival>{{1000, 44100}} << std::int64_t(2000) << std::int64_t(44100);
        QTest::newRow("already as long as the recording")
            << std::vector<Arrival>{{1000, 44100}} << std::int64_t(1000) << std::int64_t(0);
        QTest::newRow("longer than the clock (a drifting device): nothing is cut")
            << std::vector<Arrival>{{1000, 44541}} << std::int64_t(1000) << std::int64_t(0);
    }

    void padsToTheStop() {
        QFETCH(std::vector<Arrival>, arrivals);
        QFETCH(std::int64_t, stopMs);
        QFETCH(std::int64_t, padding);
        TrackTimeline timeline(origin, rate);
        for (const Arrival &arrival : arrivals)
            (void)timeline.place(origin + arrival.atMs * ms, arrival.frames);
        const std::int64_t before = timeline.framesWritten();
        QCOMPARE(timeline.padTo(origin + stopMs * ms), padding);
        QCOMPARE(timeline.framesWritten(), before + padding);
    }

    // An hour of 20 ms chunks stays on the clock to the frame.
    void longRecordingDoesNotDrift() {
        TrackTimeline timeline(origin, rate);
        std::int64_t silence = 0;
        for (std::int64_t i = 1; i <= 180'000; ++i) {
            const std::int64_t framesBefore = timeline.framesWritten();
            const std::int64_t due = (i * 20 * rate) / 1000;
            silence += timeline.place(origin + i * 20 * ms, due - framesBefore);
        }
        QCOMPARE(silence, 0);
        QCOMPARE(timeline.padTo(origin + 3600'000 * ms), 0);
        QCOMPARE(timeline.framesWritten(), std::int64_t(3600) * rate);
    }
};

QTEST_GUILESS_MAIN(TrackTimelineTest)
#include "tst_tracktimeline.moc"
