import QtQuick
import QtTest
import Tolvex.Ui

// The error screen: the retry label, the message shown as it came, and where clicks land.
Item {
    id: host
    width: 300
    height: 800

    Component {
        id: errorView
        ErrorView {
            width: 300
            message: ""
            vm: QtObject {
                property bool hasRecordedFile: false
                property int retries: 0
                property int cancels: 0
                function retryUpload() { retries += 1 }
                function cancelUpload() { cancels += 1 }
            }
        }
    }

    TextMetrics {
        id: metrics
    }

    TestCase {
        name: "ErrorView"
        when: windowShown

        function make(message, hasFile) {
            const view = createTemporaryObject(errorView, host, { message: message })
            view.vm.hasRecordedFile = hasFile
            return view
        }

        function test_retryLabelFollowsTheKeptFile_data() {
            return [
                { tag: "upload failed", hasFile: true, label: "Повторить загрузку" },
                { tag: "start failed", hasFile: false, label: "Попробовать снова" },
            ]
        }

        function test_retryLabelFollowsTheKeptFile(data) {
            const view = make("Сервер не ответил", data.hasFile)
            const retry = findChild(view, "retryButton")
            compare(retry.text, data.label)
            compare(retry.Accessible.name, data.label)
            // Read at each redraw: the label follows the flag while the screen stays.
            view.vm.hasRecordedFile = !data.hasFile
            verify(retry.text !== data.label)
        }

        function test_messageIsShownCharacterForCharacter_data() {
            return [
                { tag: "markup", message: "<b>x</b>" },
                { tag: "placeholder and percent", message: "%1 100%" },
                { tag: "entities", message: "a &amp; b < c &lt;" },
                { tag: "link markup", message: "<a href=\"x\">ссылка</a>" },
            ]
        }

        function test_messageIsShownCharacterForCharacter(data) {
            const shown = findChild(make(data.message, false), "message")
            compare(shown.text, data.message)
            // Drawn as plain text: as wide as the characters themselves, tags and all.
            metrics.font = shown.font
            metrics.text = data.message
            verify(Math.abs(shown.contentWidth - metrics.advanceWidth) < 1,
                   shown.contentWidth + " vs " + metrics.advanceWidth)
        }

        function test_longMessageWrapsAndGrowsTheScreen_data() {
            return [
                { tag: "words", message: "Сервер не принял запись, попробуйте позже. ".repeat(30) },
                { tag: "one unbroken word", message: "x".repeat(400) },
            ]
        }

        function test_longMessageWrapsAndGrowsTheScreen(data) {
            const brief = make("Ошибка", false)
            const tall = make(data.message, false)
            const shown = findChild(tall, "message")
            compare(shown.text, data.message)
            compare(shown.width, 264)
            verify(shown.lineCount > 5)
            verify(shown.contentWidth <= shown.width)
            verify(!shown.truncated)
            compare(shown.height, shown.contentHeight)
            const growth = shown.height - findChild(brief, "message").height
            tryVerify(() => tall.implicitHeight === brief.implicitHeight + growth, 1000,
                      tall.implicitHeight + " vs " + brief.implicitHeight + " + " + growth)
        }

        function test_cancelTakesClicksOnItsTextOnlyRetryOnItsWholeShape() {
            const view = make("Ошибка", true)
            const cancel = findChild(view, "cancelButton")
            compare(cancel.button.Accessible.name, "Отменить")
            mouseClick(cancel, 6, cancel.height / 2)
            mouseClick(cancel, cancel.width - 6, cancel.height / 2)
            compare(view.vm.cancels, 0)
            // Two quick clicks are two cancels; the view model sorts them out.
            mouseClick(cancel, cancel.width / 2, cancel.height / 2)
            mouseClick(cancel, cancel.width / 2, cancel.height / 2)
            compare(view.vm.cancels, 2)
            const retry = findChild(view, "retryButton")
            mouseClick(retry, 4, retry.height / 2)
            mouseClick(retry, retry.width - 4, 4 + 4)
            compare(view.vm.retries, 2)
        }
    }
}
