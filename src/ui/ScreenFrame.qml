import QtQuick
import QtQuick.Layouts
import Tolvex.Ui

// A screen: a column with 18 points around it, on the background gradient. Its height is its
// content's.
Item {
    id: frame

    default property alias content: column.data
    property alias spacing: column.spacing

    implicitWidth: column.implicitWidth + 2 * Theme.screenPadding
    implicitHeight: column.implicitHeight + 2 * Theme.screenPadding

    BackgroundGradient {
        anchors.fill: parent
    }

    ColumnLayout {
        id: column
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.margins: Theme.screenPadding
        spacing: 0
    }
}
