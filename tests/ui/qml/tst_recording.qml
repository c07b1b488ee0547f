import QtQuick
import QtTest
import Tolvex.Ui

// The recording screen's clock and level meter, and the upload bar.
Item {
    id: host
    width: 300
    height: 400

    Component {
        id: recordingView
        RecordingView {
            width: 300
            startTime: new Date()
            vm: QtObject {
                property int finishes: 0
                function finishRecording() { finishes += 1 }
            }
        }
    }

    Component {
        id: levelMeter
        LevelMeter {
            width: 264
            animated: false
        }
    }

    Component {
        id: progressBar
        UploadProgressBar { width: 264 }
    }

    TestCase {
        name: "RecordingView"
        when: windowShown

        function barsOf(meter) {
            let bars = []
            const visit = item => {
                if (item.objectName === "bar")
                    bars.push(item)
                for (let i = 0; i < item.children.length; ++i)
                    visit(item.children[i])
            }
            visit(meter)
            return bars
        }

        function test_clockCountsFromTheStartTimeAndStopFinishes() {
            const view = createTemporaryObject(recordingView, host, {
                startTime: new Date(Date.now() - 65 * 1000) })
            const shown = findChild(view, "elapsedText")
            compare(shown.text, "00:00")
            tryVerify(() => /^01:0[56]$/.test(shown.text), 2500, shown.text)
            const stop = findChild(view, "stopButton")
            compare(stop.Accessible.name, "Остановить")
            mouseClick(stop, 4, stop.height / 2)
            compare(view.vm.finishes, 1)
        }

        function test_barsFollowTheLevel_data() {
            return [
                { tag: "silence", level: 0, lowest: 4, highest: 4 },
                { tag: "full scale", level: 1, lowest: 14, highest: 28 },
            ]
        }

        function test_barsFollowTheLevel(data) {
            const meter = createTemporaryObject(levelMeter, host)
            // Many drawings of twelve bars, so that a factor outside 0.5..1 would show.
            for (let drawing = 0; drawing < 20; ++drawing) {
                meter.show(data.level)
                const bars = barsOf(meter)
                compare(bars.length, 12)
                let tallest = 0
                for (const bar of bars) {
                    verify(bar.implicitHeight >= data.lowest && bar.implicitHeight <= data.highest,
                           bar.implicitHeight)
                    tallest = Math.max(tallest, bar.implicitHeight)
                }
                // The row is as tall as its tallest bar, and the bars stand on its floor.
                // Layouts place on whole points.
                tryVerify(() => Math.abs(meter.implicitHeight - tallest) < 1, 1000,
                          meter.implicitHeight + " for " + tallest)
                for (const bar of bars) {
                    compare(bar.width, 6)
                    tryVerify(() => Math.abs(bar.height - bar.implicitHeight) < 1, 1000)
                    fuzzyCompare(bar.mapToItem(meter, 0, bar.height).y, meter.height, 1)
                }
            }
            // Centred, with gaps of three.
            const bars = barsOf(meter)
            const first = bars[0].mapToItem(meter, 0, 0).x
            const last = bars[11].mapToItem(meter, 0, 0).x
            compare(last - first, 11 * (6 + 3))
            fuzzyCompare(first, (264 - (12 * 6 + 11 * 3)) / 2, 0.5)
        }

        function test_uploadBarShowsTheAmountSent_data() {
            return [
                { tag: "unknown", progress: -1, indeterminate: true, fraction: 0.3 },
                { tag: "started", progress: 0, indeterminate: false, fraction: 0 },
                { tag: "partway", progress: 0.4, indeterminate: false, fraction: 0.4 },
                { tag: "done", progress: 1, indeterminate: false, fraction: 1 },
            ]
        }

        function test_uploadBarShowsTheAmountSent(data) {
            const bar = createTemporaryObject(progressBar, host, { progress: data.progress })
            const fill = findChild(bar, "fill")
            compare(bar.indeterminate, data.indeterminate)
            compare(fill.width, 264 * data.fraction)
            const before = bar.sweep
            wait(100)
            if (data.indeterminate) {
                verify(bar.sweep !== before, "the unknown amount is shown by a moving segment")
            } else {
                compare(bar.sweep, before)
                compare(fill.x, 0)
            }
        }
    }
}
