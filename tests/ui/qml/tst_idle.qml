import QtQuick
import QtTest
import Tolvex.Ui

// The idle screen waits while the view model is busy.
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
            mouseClick(start)
            mouseClick(logout)
            compare(vm.begins, data.calls)
            compare(vm.logouts, data.calls)
        }

        function test_logoutTakesClicksOnItsTextOnly() {
            const view = createTemporaryObject(idleView, host)
            const vm = view.vm
            const logout = findChild(view, "logoutButton")
            compare(logout.width, 264)
            mouseClick(logout, 6, logout.height / 2)
            mouseClick(logout, logout.width / 2, 2)
            compare(vm.logouts, 0)
            mouseClick(logout)
            compare(vm.logouts, 1)
        }
    }
}
