import QtQuick
import QtQuick.Layouts
import QtQuick.Templates as T
import Tolvex.Ui

// The large filled look: a mark and a 15 bold text in a row, 14 above and below, on a fill of
// radius 11. The whole filled shape takes clicks.
T.AbstractButton {
    id: control

    property color fillColor: Theme.white
    property color textColor: Theme.white
    // What stands before the text: a 10 × 10 mark, a 22 × 22 icon or a spinner.
    property Component mark

    Layout.fillWidth: true
    topPadding: 14
    bottomPadding: 14
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: implicitContentHeight + topPadding + bottomPadding

    Accessible.role: Accessible.Button
    Accessible.name: text

    background: Rectangle {
        radius: Theme.largeButtonRadius
        color: control.fillColor
    }

    contentItem: Item {
        implicitWidth: label.implicitWidth
        implicitHeight: label.implicitHeight
        opacity: control.enabled ? 1 : 0.7

        RowLayout {
            id: label
            anchors.centerIn: parent
            spacing: 8

            Loader {
                sourceComponent: control.mark
                Layout.alignment: Qt.AlignVCenter
            }

            Text {
                objectName: "label"
                text: control.text
                textFormat: Text.PlainText
                font: Theme.largeButtonFont
                color: control.textColor
                Layout.alignment: Qt.AlignVCenter
            }
        }
    }
}
