import QtQuick
import QtQuick.Layouts
import Tolvex.Ui

// A step of the recording flow failed: the fixed title, the failure's own text, retry, cancel;
// and, with a recording kept, a new recording, while the kept one waits to be sent.
ScreenFrame {
    id: screen

    required property QtObject vm
    required property string message

    function retryLabel(hasRecordedFile: bool): string {
        return hasRecordedFile ? "Повторить загрузку" : "Попробовать снова"
    }

    spacing: 12

    HeaderView {}

    Text {
        text: "Не удалось начать запись"
        textFormat: Text.PlainText
        font: Theme.emphasisFont
        color: Theme.white
    }

    Text {
        objectName: "message"
        Layout.fillWidth: true
        // Shown as it came: no markup, no placeholders, every line of it.
        text: screen.message
        textFormat: Text.PlainText
        wrapMode: Text.Wrap
        font: Theme.captionFont
        color: Theme.white60
    }

    RetryFilledButton {
        objectName: "retryButton"
        text: screen.retryLabel(screen.vm.hasRecordedFile)
        onClicked: screen.vm.retryUpload()
    }

    OutlinedButton {
        objectName: "cancelButton"
        text: "Отменить"
        onClicked: screen.vm.cancelUpload()
    }

    OutlinedButton {
        objectName: "newRecordingButton"
        visible: screen.vm.hasRecordedFile
        text: "Начать новую запись"
        button.enabled: !screen.vm.isBusy
        onClicked: screen.vm.beginRecording()
    }
}
