#pragma once
// The program itself: the view model, the tray icon with its menu, and the popover (or, with
// no tray, the same screens in a window of their own).

#include "DesktopSession.h"
#include "InstanceChannel.h"
#include "LoginAutostart.h"
#include "ReminderPace.h"

#include <QCoroTask>
#include <QElapsedTimer>
#include <QObject>
#include <QRect>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>

class AppViewModel;
class CallPrompt;
class DesktopNotifier;
class NoTrayWindow;
class PopoverWindow;
class QQmlEngine;
class StateNotices;
class StopReminder;
class TrayIcon;
class TrayMenu;

class TolvexApp : public QObject {
    Q_OBJECT

public:
    // How long a tray host may take to appear before the screens open in a window; started
    // with the session, whose panel often comes after the programs it starts, longer.
    static constexpr int trayWaitMs = 5000;
    static constexpr int trayWaitAtLoginMs = 30000;
    static constexpr int trayPollMs = 250;

    // Where the program shows itself; only setPresence() changes it.
    enum class Presence {
        searching,      // no tray yet: the window opens once the tray wait has passed
        statusNotifier, // our item, shown by a host through a StatusNotifierWatcher
        xembed,         // Qt's icon in an XEmbed tray
        window,         // no tray: the screens in a NoTrayWindow; trays are still sought
    };

    // Shows `viewModel`; the tray icon comes with start(), the popover with the first click.
    // `atLogin`: started with the desktop session. `pace`: when a forgotten recording is asked
    // about and stopped.
    TolvexApp(std::unique_ptr<AppViewModel> viewModel, bool atLogin, ReminderPace pace = {},
              QObject *parent = nullptr);
    ~TolvexApp() override;

    // Puts the icon into a tray, or, when none appears in time, opens the window.
    void start();
    // Every way out (the menu, Ctrl+Q, SIGTERM, SIGINT) comes here: a recording under way
    // stops capturing so its part files are complete, a stop or a mix under way is waited for
    // (up to AppViewModel::maxQuitWait), then the program ends.
    void requestQuit();

    // Beyond the view model's own wait for a stop or a mix.
    static constexpr std::chrono::milliseconds quitMargin{1000};

private:
    void setPresence(Presence presence);
    void checkForTray();
    // The icon's recording mark and the tooltip follow the state.
    void followState();
    // What goes on, a line each: the tooltip's lines, and the answer to `tolvex --status`.
    [[nodiscard]] QStringList statusLines() const;
    void updateToolTip();
    // A command from the command line (a key bound to `tolvex --toggle`): what the tray menu
    // would do, refused when the screens would not offer it now.
    InstanceChannel::Outcome runCommand(InstanceChannel::Command command);
    // The popover, or the window without a tray, is on the screen.
    [[nodiscard]] bool screensShown() const;
    void togglePopover(const QRect &anchor);
    void openPopover();
    // The QML engine and the screens cost tens of megabytes: a program that mostly waits in
    // the tray makes them only when they are first asked for. Null, with the program ending,
    // when the screens cannot be made.
    PopoverWindow *popover();
    NoTrayWindow *noTrayWindow();
    // Makes `window` with the engine, which it makes first if need be; false when it failed.
    template <typename Window, typename... Extra>
    bool makeScreens(std::unique_ptr<Window> &window, const Extra &...extra);
    QCoro::Task<> quitSafely();
    [[noreturn]] static void endAsCrashWould();

    // Declared in the order they must be made; they go in the reverse order.
    std::unique_ptr<AppViewModel> m_viewModel;
    // The program's own settings, in the user's config folder.
    QSettings m_settings;
    std::unique_ptr<QQmlEngine> m_engine;
    std::unique_ptr<PopoverWindow> m_popover;
    std::unique_ptr<NoTrayWindow> m_window;
    std::unique_ptr<TrayMenu> m_menu;
    std::unique_ptr<TrayIcon> m_tray;
    std::unique_ptr<InstanceChannel> m_channel;
    std::unique_ptr<DesktopNotifier> m_notifier;
    std::unique_ptr<StateNotices> m_notices;
    std::unique_ptr<CallPrompt> m_callPrompt;
    std::unique_ptr<StopReminder> m_stopReminder;
    // The toolkit has its display by the time the program is made.
    const DesktopSession m_session = DesktopSession::detect();
    LoginAutostart m_autostart = LoginAutostart::forUser();
    int m_trayWaitMs;
    const ReminderPace m_pace;
    Presence m_presence = Presence::searching;
    QTimer m_trayPoll;
    QElapsedTimer m_trayWait;
    // Ticks once a second for the tooltip's recording time, and only while recording.
    QTimer m_recordingClock;
    // Where the icon was last clicked; the menu's "open" places the popover there.
    QRect m_anchor;
    bool m_quitting = false;
};
