import QtQuick
import Tolvex.Ui

// A thin bar under the upload status: a sweeping segment while the amount is unknown (below
// 0), the part sent otherwise (0 to 1).
Item {
    id: bar

    property real progress: -1
    readonly property bool indeterminate: progress < 0
    readonly property real shownFraction: indeterminate ? 0 : Math.min(1, Math.max(0, progress))
    property real sweep: 0

    implicitHeight: 4

    Accessible.role: Accessible.ProgressBar
    Accessible.name: "Ход загрузки"

    Rectangle {
        id: track
        anchors.fill: parent
        radius: height / 2
        color: Theme.white20
        clip: true

        Rectangle {
            id: fill
            objectName: "fill"
            height: track.height
            radius: height / 2
            color: Theme.white
            width: bar.indeterminate ? track.width * 0.3 : track.width * bar.shownFraction
            x: bar.indeterminate ? bar.sweep : 0
        }
    }

    NumberAnimation on sweep {
        objectName: "sweepAnimation"
        from: -track.width * 0.3
        to: track.width
        duration: 1200
        loops: Animation.Infinite
        running: bar.indeterminate && bar.visible && bar.Window.visibility !== Window.Hidden
    }
}
