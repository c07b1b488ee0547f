import QtQuick
import QtQuick.Layouts
import Tolvex.Ui

// Twelve bars on a common bottom line, centred. Each show() draws the bars again with fresh
// random factors, so they flicker around a height proportional to the level.
Item {
    id: meter

    readonly property int barCount: 12
    property var heights: UiHelpers.barHeights(0, barCount)
    property bool animated: true

    function show(level: real) {
        meter.heights = UiHelpers.barHeights(level, meter.barCount)
    }

    implicitHeight: bars.implicitHeight
    Layout.fillWidth: true

    RowLayout {
        id: bars
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottom: parent.bottom
        spacing: 3

        Repeater {
            id: repeater
            model: meter.barCount

            Rectangle {
                required property int index
                objectName: "bar"
                Layout.alignment: Qt.AlignBottom
                implicitWidth: 6
                implicitHeight: meter.heights[index]
                radius: 3
                color: Theme.white50

                Behavior on implicitHeight {
                    enabled: meter.animated
                    NumberAnimation {
                        duration: 150
                        easing.type: Easing.InOutQuad
                    }
                }
            }
        }
    }
}
