import QtQuick
import QtQuick.Layouts
import QtQuick.Templates as T
import Tolvex.Ui

// Signed in, not recording: start a recording or sign out; how many recordings wait to be
// sent, with a way to send them now.
ScreenFrame {
    id: screen

    required property QtObject vm

    spacing: 0

    RowLayout {
        Layout.fillWidth: true
        Layout.bottomMargin: 12
        HeaderView {}
        Item { Layout.fillWidth: true }
    }

    Item {
        implicitHeight: 12
    }

    LargeFilledButton {
        objectName: "startButton"
        Layout.bottomMargin: 8
        fillColor: Theme.green
        textColor: Theme.white
        text: "Начать запись"
        // A start, stop or upload under way would ignore the click anyway; this says so.
        enabled: !screen.vm.isBusy
        mark: Rectangle {
            width: 10
            height: 10
            radius: 5
            color: Theme.white
        }
        onClicked: screen.vm.beginRecording()
    }

    OutlinedButton {
        objectName: "logoutButton"
        text: "Выйти"
        button.enabled: !screen.vm.isBusy
        onClicked: screen.vm.logout()
    }

    RowLayout {
        objectName: "unsentRow"
        Layout.fillWidth: true
        Layout.topMargin: 10
        visible: screen.vm.unsentText !== ""
        spacing: 8

        Text {
            objectName: "unsentText"
            Layout.fillWidth: true
            text: screen.vm.unsentText
            textFormat: Text.PlainText
            font: Theme.captionFont
            color: Theme.white60
        }

        T.AbstractButton {
            id: sendNow
            objectName: "sendNowButton"
            text: "Отправить сейчас"
            implicitWidth: implicitContentWidth
            implicitHeight: implicitContentHeight
            Accessible.role: Accessible.Button
            Accessible.name: text
            contentItem: Text {
                text: sendNow.text
                textFormat: Text.PlainText
                font: Theme.captionFont
                color: Theme.white
            }
            onClicked: screen.vm.sendUnsentNow()
        }
    }
}
