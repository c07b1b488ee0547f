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

// A chunk of audio captured at `atMs` (the first of its stream when `start`), or with
// `hole`, a stretch the server reports missing.
struct Event {
    enum Kind { start, audio, hole } kind;
    std::int64_t atMs;
    std::int64_t frames;
};

} // namespace

Q_DECLARE_METATYPE(std::vector<Event>)
Q_DECLARE_METATYPE(std::vector<std::int64_t>)

class TrackTimelineTest : public QObject {
    Q_OBJECT

private slots:
    void placesChunks_data() {
        QTest::addColumn<std::vector<Event>>("events");
        QTest::addColumn<std::vector<std::int64_t>>("silences"); // before each event
        QTest::addColumn<qint64>("stopMs");
        QTest::addColumn<qint64>("padding"); // at the stop

        using E = std::vector<Event>;
        using S = std::vector<std::int64_t>;
        QTest::newRow("on time, went quiet 1 s before the stop")
            << E{{Event::start, 0, 882}, {Event::audio, 20, 43218}} << S{0, 0} << 2000LL << 44100LL;
        QTest::newRow("capture estimates 90 ms off add nothing")
            << E{{Event::start, 0, 882}, {Event::audio, 110, 882}} << S{0, 0} << 40LL << 0LL;
        QTest::newRow("a source that stops for 1 s without a hole: silence for the second")
            << E{{Event::start, 0, 882}, {Event::audio, 20, 882}, {Event::audio, 1040, 882}}
            << S{0, 0, 44100} << 1060LL << 0LL;
        QTest::newRow("a reopened stream is placed exactly, even 30 ms on")
            << E{{Event::start, 0, 882}, {Event::start, 50, 882}} << S{0, 1323} << 70LL << 0LL;
        QTest::newRow("a hole is silence of its length; what follows is not doubled")
            << E{{Event::start, 0, 882}, {Event::hole, 0, 4410}, {Event::audio, 120, 882}}
            << S{0, 0, 0} << 140LL << 0LL;
        QTest::newRow("a chunk stamped before the origin counts from zero")
            << E{{Event::start, -30, 882}, {Event::audio, -10, 882}} << S{0, 0} << 40LL << 0LL;
        QTest::newRow("longer than the clock (a fast device): nothing is cut at the stop")
            << E{{Event::start, 0, 44541}} << S{0} << 1000LL << 0LL;
    }

    void placesChunks() {
        QFETCH(std::vector<Event>, events);
        QFETCH(std::vector<std::int64_t>, silences);
        QFETCH(qint64, stopMs);
        QFETCH(qint64, padding);
        TrackTimeline timeline(origin, rate);
        std::int64_t written = 0;
        for (std::size_t i = 0; i < events.size(); ++i) {
            const Event &event = events[i];
            std::int64_t silence = 0;
            if (event.kind == Event::hole)
                timeline.placeSilence(event.frames);
            else
                silence = timeline
                              .placeAudio(event.frames, origin + event.atMs * ms,
                                          event.kind == Event::start)
                              .silence;
            QCOMPARE(silence, silences[i]);
            written += silence + event.frames;
            QCOMPARE(timeline.framesWritten(), written);
        }
        QCOMPARE(static_cast<qint64>(timeline.padTo(origin + stopMs * ms)), padding);
        QCOMPARE(timeline.framesWritten(), written + padding);
    }

    void longRecordingDoesNotDrift_data() {
        QTest::addColumn<double>("ppm");
        QTest::newRow("device 100 ppm fast") << 100.0;
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
