import QtQuick
import QtQuick.Templates as T
import Tolvex.Ui

// A footer link: its title alone takes clicks and opens the fixed address.
T.AbstractButton {
    id: link

    property url url

    implicitWidth: implicitContentWidth
    implicitHeight: implicitContentHeight

    Accessible.role: Accessible.Button
    Accessible.name: text

    contentItem: Text {
        text: link.text
        textFormat: Text.PlainText
        font: Theme.footerFont
        color: Theme.white50
    }

    // Whether the desktop managed to open it is not shown.
    onClicked: Qt.openUrlExternally(link.url)
}
