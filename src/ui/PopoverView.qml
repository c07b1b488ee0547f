import QtQuick
import QtQuick.Layouts
import Tolvex.Ui

// Everything the popover shows: the screen of the view model's state above the footer, 300
// points wide and as tall as its content.
Item {
    id: root

    required property AppViewModel vm
    // Above the screens when they show in a window of their own: why there is no tray icon.
    property string notice: ""
    readonly property string screenName: UiHelpers.screenFor(vm.stateCase)
    readonly property Item screen: screenLoader.item

    width: 300
    implicitWidth: 300
    implicitHeight: column.implicitHeight

    ColumnLayout {
        id: column
        width: root.width
        spacing: 0

        Text {
            objectName: "notice"
            visible: root.notice !== ""
            Layout.fillWidth: true
            Layout.margins: 12
            text: root.notice
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            font: Theme.captionFont
            color: Theme.white90
        }

        Loader {
            id: screenLoader
            objectName: "screenLoader"
            Layout.fillWidth: true
            Layout.preferredHeight: item ? item.implicitHeight : 0
            sourceComponent: {
                switch (root.screenName) {
                case "IdleView":
                    return idleView
                case "RecordingView":
                    return recordingView
                case "UploadingView":
                    return uploadingView
                case "ErrorView":
                    return errorView
                default:
                    return loginView
                }
            }
        }

        FooterView {
            objectName: "footer"
            Layout.fillWidth: true
        }
    }

    Component {
        id: loginView
        LoginView { vm: root.vm }
    }
    Component {
        id: idleView
        IdleView { vm: root.vm }
    }
    Component {
        id: recordingView
        RecordingView {
            vm: root.vm
            startTime: root.vm.recordingStartTime
        }
    }
    Component {
        id: uploadingView
        UploadingView { vm: root.vm }
    }
    Component {
        id: errorView
        ErrorView {
            vm: root.vm
            message: root.vm.uploadErrorText
        }
    }
}
