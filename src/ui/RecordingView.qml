import QtQuick
import QtQuick.Layouts
import Tolvex.Ui

// A recording runs: how long, how loud the microphone is, and the button that stops it.
ScreenFrame {
    id: screen

    required property QtObject vm
    required property date startTime
    // Seconds since startTime as of the last tick; 0 until the first one.
    property real elapsed: 0
    // The monitor, the clock and the meter's animation run only while the screen can be seen.
    readonly property bool live: visible && Window.visibility !== Window.Hidden
    readonly property MicLevelMonitor micMonitor: MicLevelMonitor {}

    // Whether the monitor and the clock are on; they follow `live`.
    property bool listening: false
    property bool shownBefore: false

    function tick() {
        // Taken from startTime every time, so a late or missed tick costs nothing.
        screen.elapsed = UiHelpers.secondsSince(screen.startTime)
    }

    function followVisibility() {
        if (screen.live === screen.listening)
            return
        screen.listening = screen.live
        if (!screen.live) {
            micMonitor.stop()
            return
        }
        micMonitor.start()
        // A new screen shows 00:00 until its first tick; one shown again is brought up to
        // date at once.
        if (screen.shownBefore)
            tick()
        screen.shownBefore = true
    }

    spacing: 0

    onLiveChanged: followVisibility()
    Component.onCompleted: followVisibility()
    Component.onDestruction: micMonitor.stop()

    Connections {
        target: screen.micMonitor
        function onLevelChanged() {
            meter.show(screen.micMonitor.level)
        }
    }

    Timer {
        id: clock
        objectName: "elapsedTimer"
        interval: 1000
        repeat: true
        running: screen.listening
        onTriggered: screen.tick()
    }

    RowLayout {
        Layout.fillWidth: true
        Layout.bottomMargin: 12
        HeaderView {}
        Item { Layout.fillWidth: true }

        // The recording dot with a soft glow of its own red.
        Item {
            objectName: "recordingDot"
            implicitWidth: 9
            implicitHeight: 9

            Rectangle {
                anchors.centerIn: parent
                width: 17
                height: 17
                radius: width / 2
                color: Theme.systemRed
                opacity: 0.18
            }
            Rectangle {
                anchors.centerIn: parent
                width: 13
                height: 13
                radius: width / 2
                color: Theme.systemRed
                opacity: 0.3
            }
            Rectangle {
                anchors.fill: parent
                radius: width / 2
                color: Theme.systemRed
            }
        }
    }

    RowLayout {
        Layout.fillWidth: true
        Layout.bottomMargin: 12

        Text {
            text: "время записи"
            textFormat: Text.PlainText
            font: Theme.captionFont
            color: Theme.white45
        }
        Item { Layout.fillWidth: true }
        Text {
            objectName: "elapsedText"
            text: UiHelpers.elapsedText(screen.elapsed)
            textFormat: Text.PlainText
            font: Theme.elapsedFont
            color: Theme.white90
        }
    }

    LevelMeter {
        id: meter
        objectName: "levelMeter"
        Layout.bottomMargin: 12
        animated: screen.live
    }

    // What cannot be heard (a silent track, a muted or wrong device); takes no room otherwise.
    Text {
        objectName: "noticeText"
        visible: text !== ""
        Layout.fillWidth: true
        Layout.bottomMargin: 12
        text: screen.vm.recordingNotice
        textFormat: Text.PlainText
        wrapMode: Text.Wrap
        font: Theme.captionFont
        color: Theme.white90
    }

    LargeFilledButton {
        objectName: "stopButton"
        fillColor: Theme.red
        textColor: Theme.white
        text: "Остановить"
        mark: Rectangle {
            width: 10
            height: 10
            radius: 2
            color: Theme.white
        }
        onClicked: screen.vm.finishRecording()
    }
}
