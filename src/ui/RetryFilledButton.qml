import QtQuick
import QtQuick.Layouts
import QtQuick.Templates as T
import Tolvex.Ui

// The retry filled look: a 14 bold white text, 12 above and below, on green of radius 11.
T.AbstractButton {
    id: control

    Layout.fillWidth: true
    topPadding: 12
    bottomPadding: 12
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    implicitHeight: implicitContentHeight + topPadding + bottomPadding

    Accessible.role: Accessible.Button
    Accessible.name: text

    background: Rectangle {
        radius: Theme.largeButtonRadius
        color: Theme.green
    }

    contentItem: Text {
        objectName: "label"
        text: control.text
        textFormat: Text.PlainText
        font: Theme.retryButtonFont
        color: Theme.white
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
}
