import QtQuick
import Tolvex.Ui

// An indeterminate circular spinner: twelve spokes fading round a turning wheel. It turns only
// while it can be seen.
Item {
    id: spinner

    property color color: Theme.white
    readonly property bool running: visible && Window.visibility !== Window.Hidden

    implicitWidth: 20
    implicitHeight: 20

    Item {
        id: wheel
        anchors.fill: parent

        Repeater {
            model: 12

            Rectangle {
                required property int index
                x: (wheel.width - width) / 2
                y: 0
                width: Math.max(1.5, wheel.width / 10)
                height: wheel.height * 0.28
                radius: width / 2
                color: spinner.color
                opacity: 0.25 + 0.75 * (index / 11)
                transform: Rotation {
                    origin.x: width / 2
                    origin.y: wheel.height / 2
                    angle: index * 30
                }
            }
        }

        RotationAnimation on rotation {
            objectName: "spinnerAnimation"
            from: 0
            to: 360
            duration: 1000
            loops: Animation.Infinite
            running: spinner.running
        }
    }
}
