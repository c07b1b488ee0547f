// Where a source's chunks land on the recording's clock.

#include "TrackTimeline.h"

#include <QTest>

#include <cmath>
#include <random>
#include <vector>

namespace {

constexpr int rate = 44100;
constexpr std::int64_t ms = 1'000'000;
constexpr std::int64_t origin = 5'000 * ms; // an arbitrary steady-clock reading

struct Event {
    enum Kind { start, audio, hole };
    Kind kind;
    std::int64_t captureMs; // audio and start only
    std::int64_t frames;
};

std::int64_t feed(TrackTimeline &timeline, const Event &event) {
    if (event.kind == Event::hole) {
        timeline.placeSilence(event.frames);
        return 0;
    }
    return timeline
        .placeAudio(event.frames, origin + event.captureMs * ms, event.kind == Event::start)
        .silence;
}

} // namespace

Q_DECLARE_METATYPE(std::vector<Event>)
Q_DECLARE_METATYPE(std::vector<std::int64_t>)

class TrackTimelineTest : public QObject {
    Q_OBJECT

private slots:
    void placesChunks_data() {
        QTest::addColumn<std::vector<Event>>("events");
        QTest::addColumn<std::vector<std::int64_t>>("silences");

        QTest::newRow("on time: 20 ms chunks") << std::vector<Event>{{Event::start, 0, 882},
                                                                     {Event::audio, 20, 882},
                                                                     {Event::audio, 40, 882}}
                                               << std::vector<std::int64_t>{0, 0, 0};
        QTest::newRow("source starts 500 ms late: leading silence for the difference")
            << std::vector<Event>{{Event::start, 500, 882}, {Event::audio, 520, 882}}
            << std::vector<std::int64_t>{22050, 0};
        // What arrives late after a stall, or in bigger pieces once the server enlarged its
        // buffer, was still captured when the stream's latency says: it follows on. Only the
        // capture times reach the timeline, so a stall's burst is the first row again.
        QTest::newRow("enlarged buffer: 200 ms chunks")
            << std::vector<Event>{{Event::start, 0, 882},
                                  {Event::audio, 20, 8820},
                                  {Event::audio, 220, 8820},
                                  {Event::audio, 420, 8820}}
            << std::vector<std::int64_t>{0, 0, 0, 0};
        QTest::newRow("capture estimates 90 ms off add nothing")
            << std::vector<Event>{{Event::start, 0, 882}, {Event::audio, 110, 882}}
            << std::vector<std::int64_t>{0, 0};
        QTest::newRow("a source that stops for 1 s without a hole: silence for the second")
            << std::vector<Event>{{Event::start, 0, 882},
                                  {Event::audio, 20, 882},
                                  {Event::audio, 1040, 882}}
            << std::vector<std::int64_t>{0, 0, 44100};
        QTest::newRow("a stream reopened after a 1 s outage: the outage is silence")
            << std::vector<Event>{{Event::start, 0, 882}, {Event::start, 1020, 882}}
            << std::vector<std::int64_t>{0, 44100};
        QTest::newRow("a reopened stream is placed exactly, even 30 ms on")
            << std::vector<Event>{{Event::start, 0, 882}, {Event::start, 50, 882}}
            << std::vector<std::int64_t>{0, 1323};
        QTest::newRow("a hole is silence of its length; what follows is not doubled")
            << std::vector<Event>{{Event::start, 0, 882},
                                  {Event::hole, 0, 4410},
                                  {Event::audio, 120, 882}}
            << std::vector<std::int64_t>{0, 0, 0};
        QTest::newRow("a chunk stamped before the origin counts from zero")
            << std::vector<Event>{{Event::start, -30, 882}, {Event::audio, -10, 882}}
            << std::vector<std::int64_t>{0, 0};
    }

    void placesChunks() {
        QFETCH(std::vector<Event>, events);
        QFETCH(std::vector<std::int64_t>, silences);
        TrackTimeline timeline(origin, rate);
        std::int64_t expectedWritten = 0;
        for (std::size_t i = 0; i < events.size(); ++i) {
            const std::int64_t silence = feed(timeline, events[i]);
            QCOMPARE(silence, silences[i]);
            expectedWritten += silence + events[i].frames;
            QCOMPARE(timeline.framesWritten(), expectedWritten);
        }
    }

    void padsToTheStop_data() {
        QTest::addColumn<std::vector<Event>>("events");
        QTest::addColumn<std::int64_t>("stopMs");
        QTest::addColumn<std::int64_t>("padding");

        QTest::newRow("nothing ever arrived: the whole recording is silence")
            << std::vector<Event>{} << std::int64_t(3000) << std::int64_t(3 * rate);
        QTest::newRow("source went quiet 1 s before the stop")
            << std::vector<Event>{{Event::start, 0, 44100}} << std::int64_t(2000)
            << std::int64_t(44100);
        QTest::newRow("already as long as the recording")
            << std::vector<Event>{{Event::start, 0, 44100}} << std::int64_t(1000)
            << std::int64_t(0);
        QTest::newRow("longer than the clock (a fast device): nothing is cut")
            << std::vector<Event>{{Event::start, 0, 44541}} << std::int64_t(1000)
            << std::int64_t(0);
    }

    void padsToTheStop() {
        QFETCH(std::vector<Event>, events);
        QFETCH(std::int64_t, stopMs);
        QFETCH(std::int64_t, padding);
        TrackTimeline timeline(origin, rate);
        for (const Event &event : events)
            (void)feed(timeline, event);
        const std::int64_t before = timeline.framesWritten();
        QCOMPARE(timeline.padTo(origin + stopMs * ms), padding);
        QCOMPARE(timeline.framesWritten(), before + padding);
    }

    void longRecordingDoesNotDrift_data() {
        QTest::addColumn<double>("ppm");
        QTest::newRow("device 100 ppm fast") << 100.0;
        QTest::newRow("device 100 ppm slow") << -100.0;
        QTest::newRow("device 400 ppm slow") << -400.0;
    }

    // Two hours from a device whose clock runs off the steady clock, with capture times as
    // noisy as latency reports are: every chunk lands within 10 ms of when it was captured,
    // so two such tracks stay within 20 ms of each other, and no silence is made up for it.
    void longRecordingDoesNotDrift() {
        QFETCH(double, ppm);
        const double deviceRate = rate * (1.0 + ppm * 1e-6);
        std::mt19937 random(7);
        std::uniform_real_distribution<double> noiseMs(-3.0, 3.0);
        TrackTimeline timeline(origin, rate);
        constexpr std::int64_t chunk = 882;
        const std::int64_t chunks = 2 * 3600 * rate / chunk;
        double worstMs = 0.0;
        std::int64_t silence = 0;
        for (std::int64_t i = 0; i < chunks; ++i) {
            // Where the device's own sample count puts this chunk on the steady clock.
            const double capturedMs = static_cast<double>(i * chunk) / deviceRate * 1000.0;
            const auto reportedNs =
                origin + static_cast<std::int64_t>((capturedMs + noiseMs(random)) * ms);
            const std::int64_t before = timeline.framesWritten();
            const TrackTimeline::Step step = timeline.placeAudio(chunk, reportedNs, i == 0);
            if (step.stretch)
                QVERIFY(std::abs(step.stretch->delta) <=
                        TrackTimeline::maxStretch * step.stretch->distance);
            silence += step.silence;
            const double landsMs = static_cast<double>(before + step.silence) * 1000.0 / rate;
            worstMs = std::max(worstMs, std::abs(landsMs - capturedMs));
        }
        QCOMPARE(silence, 0);
        QVERIFY2(worstMs < 10.0, qPrintable(QStringLiteral("%1 ms off").arg(worstMs)));
        const double stopMs = static_cast<double>(chunks * chunk) / deviceRate * 1000.0;
        (void)timeline.padTo(origin + static_cast<std::int64_t>(stopMs * ms));
        const double lengthMs = static_cast<double>(timeline.framesWritten()) * 1000.0 / rate;
        QVERIFY2(
            std::abs(lengthMs - stopMs) < 10.0,
            qPrintable(QStringLiteral("%1 ms long, %2 ms recorded").arg(lengthMs).arg(stopMs)));
    }
};

QTEST_GUILESS_MAIN(TrackTimelineTest)
#include "tst_tracktimeline.moc"
