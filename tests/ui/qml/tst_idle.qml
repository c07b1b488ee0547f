import QtQuick
import QtTest
import Tolvex.Ui

// The idle screen waits while the view model is busy; sign-out answers on its text only.
Item {
    id: host
    width: 300
    height: 400

    Component {
        id: idleView
        IdleView {
            width: 300
            vm: QtObject {
                property bool isBusy: false
                property int begins: 0
                property int logouts: 0
                function beginRecording() { begins += 1 }
                function logout() { logouts += 1 }
            }
        }
    }

    TestCase {
        name: "IdleView"
        when: windowShown

        function test_buttonsWaitWhileBusy_data() {
            return [
                { tag: "free", busy: false, calls: 1 },
                { tag: "busy", busy: true, calls: 0 },
            ]
        }

        function test_buttonsWaitWhileBusy(data) {
            const view = createTemporaryObject(idleView, host)
            const vm = view.vm
            vm.isBusy = data.busy
            const start = findChild(view, "startButton")
            const logout = findChild(view, "logoutButton")
            compare(start.Accessible.name, "Начать запись")
            compare(logout.button.Accessible.name, "Выйти")
            // Sign-out takes clicks on its text only, not on the full-width bar around it.
            compare(logout.width, 264)
            mouseClick(logout, 6, logout.height / 2)
            mouseClick(logout, logout.width / 2, 2)
            compare(vm.logouts, 0)
            mouseClick(start)
            mouseClick(logout)
            compare(vm.begins, data.calls)
            compare(vm.logouts, data.calls)
        }
    }
}
