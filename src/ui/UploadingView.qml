import QtQuick
import QtQuick.Layouts
import Tolvex.Ui

// The recording is being finished and sent; nothing to press.
ScreenFrame {
    id: screen

    required property QtObject vm

    spacing: 16

    HeaderView {}

    ColumnLayout {
        Layout.fillWidth: true
        spacing: 8

        Rectangle {
            objectName: "statusPanel"
            Layout.fillWidth: true
            implicitHeight: status.implicitHeight + 2 * 12
            radius: Theme.largeButtonRadius
            color: Theme.white10

            RowLayout {
                id: status
                anchors.centerIn: parent
                spacing: 10

                Spinner {
                    objectName: "uploadSpinner"
                    implicitWidth: 16
                    implicitHeight: 16
                    color: Theme.white
                }
                Text {
                    text: "Загружаю запись..."
                    textFormat: Text.PlainText
                    font: Theme.emphasisFont
                    color: Theme.white
                }
            }
        }

        UploadProgressBar {
            objectName: "uploadProgress"
            Layout.fillWidth: true
            progress: screen.vm.uploadProgress
        }
    }

    Text {
        Layout.fillWidth: true
        text: "Отчёт придёт в Telegram"
        textFormat: Text.PlainText
        horizontalAlignment: Text.AlignHCenter
        font: Theme.captionFont
        color: Theme.white50
    }
}
