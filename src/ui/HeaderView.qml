import QtQuick
import QtQuick.Layouts
import Tolvex.Ui

// The badge and the product name at the top of every screen.
RowLayout {
    spacing: 10

    Item {
        implicitWidth: 36
        implicitHeight: 36

        Rectangle {
            anchors.fill: parent
            radius: 10
            color: Theme.white18
        }

        Image {
            anchors.centerIn: parent
            width: 22
            height: 22
            source: "BubbleIcon.svg"
            sourceSize: Qt.size(22, 22)
            fillMode: Image.PreserveAspectFit
            smooth: true
        }
    }

    Text {
        text: UiHelpers.productName
        textFormat: Text.PlainText
        font: Theme.productNameFont
        color: Theme.white
    }
}
