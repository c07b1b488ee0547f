import QtQuick
import QtQuick.Layouts
import Tolvex.Ui

// Signed in, not recording: start a recording or sign out.
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
}
