import QtQuick
import QtTest
import Tolvex.Ui

// The sign-in screen follows the view model's two flags.
Item {
    id: host
    width: 300
    height: 500

    Component {
        id: loginView
        LoginView {
            width: 300
            vm: QtObject {
                property bool isPollingAuth: false
                property bool authTimedOut: false
                property int logins: 0
                function startTelegramLogin() { logins += 1 }
            }
        }
    }

    TestCase {
        name: "LoginView"
        when: windowShown

        function make(polling, timedOut) {
            const view = createTemporaryObject(loginView, host)
            view.vm.isPollingAuth = polling
            view.vm.authTimedOut = timedOut
            return view
        }

        function test_looksFollowTheFlags_data() {
            return [
                { tag: "ready", polling: false, timedOut: false, label: "Войти через Telegram",
                  enabled: true, icon: true, spinner: false, tryAgain: false },
                { tag: "waiting", polling: true, timedOut: false, label: "Ожидаем авторизацию...",
                  enabled: false, icon: false, spinner: true, tryAgain: false },
                { tag: "timed out", polling: false, timedOut: true, label: "Войти через Telegram",
                  enabled: true, icon: true, spinner: false, tryAgain: true },
            ]
        }

        function test_looksFollowTheFlags(data) {
            const view = make(data.polling, data.timedOut)
            const button = findChild(view, "signInButton")
            compare(button.text, data.label)
            compare(button.Accessible.name, data.label)
            compare(button.enabled, data.enabled)
            // The mark a flag replaces goes away at the next turn of the event loop.
            tryVerify(() => (findChild(view, "telegramIcon") !== null) === data.icon)
            tryVerify(() => (findChild(view, "signInSpinner") !== null) === data.spinner)
            compare(findChild(view, "timedOutPanel").visible, data.tryAgain)

            // A disabled button takes no click; both buttons start the same sign-in.
            mouseClick(button)
            compare(view.vm.logins, data.enabled ? 1 : 0)
            if (data.tryAgain) {
                const tryAgain = findChild(view, "tryAgainButton")
                compare(tryAgain.Accessible.name, "Попробовать снова")
                mouseClick(tryAgain, 2, tryAgain.height / 2)
                compare(view.vm.logins, 2)
            }
        }

        function test_iconIsStretchedToItsSquareAndTaglineWrapsWithoutEllipsis() {
            const view = make(false, false)
            const icon = findChild(view, "telegramIcon")
            compare(icon.width, 22)
            compare(icon.height, 22)
            compare(icon.fillMode, Image.Stretch)
            compare(icon.status, Image.Ready)
            const tagline = findChild(view, "tagline")
            compare(tagline.width, 264)
            verify(tagline.lineCount > 1)
            verify(!tagline.truncated)
            compare(tagline.height, tagline.contentHeight)
        }

        function test_timeoutPanelTakesSpaceOnlyWhenShown() {
            const ready = make(false, false)
            const timedOut = make(false, true)
            const panel = findChild(timedOut, "timedOutPanel")
            tryVerify(() => panel.height > 0
                      && timedOut.implicitHeight === ready.implicitHeight + 16 + panel.height,
                      1000, timedOut.implicitHeight + " vs " + ready.implicitHeight + " + 16 + "
                      + panel.height)
        }
    }
}
