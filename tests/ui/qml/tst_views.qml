import QtQuick
import QtTest
import Tolvex.Ui

// What the screens do with clicks and with text the program does not write, against a small
// stand-in for the view model. Which screen a state shows, in which colours and with which
// label, is checked on the real view model in tst_screens.
Item {
    id: host
    width: 300
    height: 800

    Component {
        id: standIn
        QtObject {
            property bool isBusy: false
            property bool hasRecordedFile: true
            property bool isPollingAuth: false
            property bool authTimedOut: false
            property string calls: ""
            function beginRecording() { calls += "begin " }
            function logout() { calls += "logout " }
            function finishRecording() { calls += "finish " }
            function retryUpload() { calls += "retry " }
            function cancelUpload() { calls += "cancel " }
            function startTelegramLogin() { calls += "login " }
        }
    }
    Component { id: loginView; LoginView {} }
    Component { id: idleView; IdleView {} }
    Component { id: recordingView; RecordingView { startTime: new Date() } }
    Component { id: errorView; ErrorView { message: "Ошибка" } }
    Component { id: levelMeter; LevelMeter { width: 264; animated: false } }
    Component { id: progressBar; UploadProgressBar { width: 264 } }
    TextMetrics { id: metrics }

    TestCase {
        name: "Screens"
        when: windowShown

        function make(view, flags, properties) {
            const vm = createTemporaryObject(standIn, host, flags || {})
            return createTemporaryObject(view, host,
                                         Object.assign({ vm: vm, width: 300 }, properties || {}))
        }

        function test_buttonCallsItsAction_data() {
            return [
                { tag: "sign in", view: loginView, button: "signInButton", calls: "login " },
                { tag: "sign in while waiting", view: loginView, flags: { isPollingAuth: true },
                  button: "signInButton", calls: "" },
                { tag: "try again after the time ran out", view: loginView,
                  flags: { authTimedOut: true }, button: "tryAgainButton", calls: "login " },
                { tag: "start", view: idleView, button: "startButton", calls: "begin " },
                { tag: "sign out", view: idleView, button: "logoutButton", calls: "logout " },
                { tag: "start while busy", view: idleView, flags: { isBusy: true },
                  button: "startButton", calls: "" },
                { tag: "sign out while busy", view: idleView, flags: { isBusy: true },
                  button: "logoutButton", calls: "" },
                { tag: "stop", view: recordingView, button: "stopButton", calls: "finish " },
                { tag: "retry", view: errorView, button: "retryButton", calls: "retry " },
                { tag: "cancel", view: errorView, button: "cancelButton", calls: "cancel " },
            ]
        }

        function test_buttonCallsItsAction(data) {
            const view = make(data.view, data.flags)
            const button = findChild(view, data.button)
            verify(button && button.visible, data.button)
            mouseClick(button)
            compare(view.vm.calls, data.calls)
        }

        // A message from the service is shown as it came and whole: never as markup, never cut.
        function test_errorMessageIsShownWhole_data() {
            return [
                { tag: "markup", message: "<b>x</b> <a href=\"x\">ссылка</a>" },
                { tag: "entities and placeholders", message: "a &amp; b < c &lt; %1 100%" },
                { tag: "words", message: "Сервер не принял запись, попробуйте позже. ".repeat(30) },
                { tag: "one unbroken word", message: "x".repeat(400) },
            ]
        }

        function test_errorMessageIsShownWhole(data) {
            const brief = make(errorView)
            const view = make(errorView, {}, { message: data.message })
            const shown = findChild(view, "message")
            compare(shown.text, data.message)
            verify(shown.contentWidth <= shown.width && !shown.truncated)
            if (shown.lineCount === 1) {
                // Drawn as plain text: as wide as the characters themselves, tags and all.
                metrics.font = shown.font
                metrics.text = data.message
                verify(Math.abs(shown.contentWidth - metrics.advanceWidth) < 1,
                       shown.contentWidth + " vs " + metrics.advanceWidth)
            }
            // The screen grows with every line of it.
            const growth = shown.contentHeight - findChild(brief, "message").contentHeight
            tryVerify(() => view.implicitHeight === brief.implicitHeight + growth, 1000,
                      view.implicitHeight + " vs " + brief.implicitHeight + " + " + growth)
        }

        function test_clockCountsFromTheStartTime() {
            const view = make(recordingView, {}, { startTime: new Date(Date.now() - 65 * 1000) })
            const shown = findChild(view, "elapsedText")
            tryVerify(() => /^01:0[56]$/.test(shown.text), 2500, shown.text)
        }

        function test_meterFollowsTheLevel_data() {
            return [
                { tag: "silence", level: 0, lowest: 4, highest: 4 },
                { tag: "full scale", level: 1, lowest: 14, highest: 28 },
            ]
        }

        function test_meterFollowsTheLevel(data) {
            const meter = createTemporaryObject(levelMeter, host)
            meter.show(data.level)
            compare(meter.heights.length, 12)
            for (const height of meter.heights)
                verify(height >= data.lowest && height <= data.highest, height)
        }

        function test_uploadBarShowsTheAmountSent_data() {
            return [
                { tag: "unknown", progress: -1, fraction: 0.3 },
                { tag: "started", progress: 0, fraction: 0 },
                { tag: "partway", progress: 0.4, fraction: 0.4 },
                { tag: "done", progress: 1, fraction: 1 },
            ]
        }

        function test_uploadBarShowsTheAmountSent(data) {
            const bar = createTemporaryObject(progressBar, host, { progress: data.progress })
            compare(findChild(bar, "fill").width, 264 * data.fraction)
            // An amount not known yet is shown by a moving segment, a known one by a still bar.
            const before = bar.sweep
            wait(100)
            compare(bar.sweep !== before, data.progress < 0)
        }
    }
}
