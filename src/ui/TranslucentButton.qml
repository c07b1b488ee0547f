import QtQuick
import QtQuick.Layouts
import QtQuick.Templates as T
import Tolvex.Ui

// The translucent look: a 13 semibold white text, 9 above and below, on white 12 % of radius 9.
T.AbstractButton {
    id: control

    Layout.fillWidth: true
    topPadding: 9
    bottomPadding: 9
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: implicitContentHeight + topPadding + bottomPadding

    Accessible.role: Accessible.Button
    Accessible.name: text

    background: Rectangle {
        radius: Theme.smallButtonRadius
        color: Theme.white12
    }

    contentItem: Text {
        objectName: "label"
        text: control.text
        textFormat: Text.PlainText
        font: Theme.emphasisFont
        color: Theme.white
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
}
