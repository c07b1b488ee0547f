import QtQuick
import QtQuick.Layouts
import QtQuick.Templates as T
import Tolvex.Ui

// The outlined look: a full-width bar of white 8 % with a 1-point line of white 12 %, radius 9,
// and a 13 regular text of white 55 % in its middle. Only the text is the button: a click on
// the bar beside it does nothing.
Item {
    id: bar

    property alias text: button.text
    readonly property alias button: button
    signal clicked

    Layout.fillWidth: true
    implicitWidth: button.implicitWidth
    implicitHeight: button.implicitHeight + 2 * 9

    Rectangle {
        anchors.fill: parent
        radius: Theme.smallButtonRadius
        color: Theme.white8
        border.width: 1
        border.color: Theme.white12
    }

    T.AbstractButton {
        id: button
        objectName: "textButton"
        anchors.centerIn: parent
        implicitWidth: implicitContentWidth
        implicitHeight: implicitContentHeight
        opacity: enabled ? 1 : 0.6

        Accessible.role: Accessible.Button
        Accessible.name: text

        contentItem: Text {
            text: button.text
            textFormat: Text.PlainText
            font: Theme.bodyFont
            color: Theme.white55
        }

        onClicked: bar.clicked()
    }
}
