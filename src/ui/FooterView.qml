import QtQuick
import QtQuick.Layouts
import Tolvex.Ui

// The three links under every screen, on footer dark.
Rectangle {
    color: Theme.footerDark
    implicitWidth: row.implicitWidth + 2 * 18
    implicitHeight: row.implicitHeight + 2 * 9

    RowLayout {
        id: row
        anchors.fill: parent
        anchors.leftMargin: 18
        anchors.rightMargin: 18
        anchors.topMargin: 9
        anchors.bottomMargin: 9
        spacing: 0

        FooterLink {
            objectName: "webSiteLink"
            text: "Сайт"
            url: UiHelpers.webSiteUrl
        }
        Item { Layout.fillWidth: true }
        Text {
            text: "·"
            color: Theme.white20
        }
        Item { Layout.fillWidth: true }
        FooterLink {
            objectName: "supportLink"
            text: "Поддержка"
            url: UiHelpers.supportUrl
        }
        Item { Layout.fillWidth: true }
        Text {
            text: "·"
            color: Theme.white20
        }
        Item { Layout.fillWidth: true }
        FooterLink {
            objectName: "feedbackLink"
            text: "Вопросы и предложения"
            url: UiHelpers.supportUrl
        }
    }
}
