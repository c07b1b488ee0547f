import QtQuick
import QtQuick.Layouts
import Tolvex.Ui

// The sign-in screen: what the program does, and one button that starts the Telegram sign-in.
ScreenFrame {
    id: screen

    required property QtObject vm
    readonly property bool waiting: vm.isPollingAuth

    spacing: 16

    HeaderView {}

    Text {
        objectName: "tagline"
        Layout.fillWidth: true
        text: "Записывает встречи в Яндекс Телемост и отправляет митрепорт в Telegram"
        textFormat: Text.PlainText
        wrapMode: Text.Wrap
        font: Theme.bodyFont
        color: Theme.white65
    }

    // Why the user is asked to sign in again (an expired sign-in), when there is a reason.
    Text {
        objectName: "signInNotice"
        visible: text !== ""
        Layout.fillWidth: true
        text: screen.vm.uploadErrorText ?? ""
        textFormat: Text.PlainText
        wrapMode: Text.Wrap
        font: Theme.captionFont
        color: Theme.white90
    }

    LargeFilledButton {
        objectName: "signInButton"
        fillColor: Theme.white
        textColor: Theme.indigo
        text: screen.waiting ? "Ожидаем авторизацию..." : "Войти через Telegram"
        enabled: !screen.waiting
        mark: screen.waiting ? waitingMark : telegramMark
        onClicked: screen.vm.startTelegramLogin()
    }

    ColumnLayout {
        objectName: "timedOutPanel"
        Layout.fillWidth: true
        visible: screen.vm.authTimedOut
        spacing: 6

        Text {
            Layout.alignment: Qt.AlignHCenter
            text: "Время вышло. Попробуйте снова."
            textFormat: Text.PlainText
            font: Theme.hintFont
            color: Theme.white50
        }

        TranslucentButton {
            objectName: "tryAgainButton"
            text: "Попробовать снова"
            onClicked: screen.vm.startTelegramLogin()
        }
    }

    Component {
        id: telegramMark

        Image {
            objectName: "telegramIcon"
            width: 22
            height: 22
            source: "TelegramIcon.svg"
            sourceSize: Qt.size(22, 22)
            fillMode: Image.Stretch
            smooth: true
        }
    }

    Component {
        id: waitingMark

        Spinner {
            objectName: "signInSpinner"
            color: Theme.indigo
            scale: 0.8
        }
    }
}
