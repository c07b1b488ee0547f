#pragma once
// The program itself: the view model, the tray icon with its quit menu, and the popover.

#include <QCoroTask>
#include <QElapsedTimer>
#include <QObject>
#include <QSystemTrayIcon>
#include <QTimer>

#include <chrono>
#include <memory>

class AppViewModel;
class NoTrayWindow;
class PopoverWindow;
class QMenu;
class QQmlEngine;

class TolvexApp : public QObject {
    Q_OBJECT

public:
    static constexpr const char *quitText = "Выйти из Толвекса";
    // How long a tray host may take to appear (a session starting up) before the user is told.
    static constexpr int trayWaitMs = 5000;
    static constexpr int trayPollMs = 250;

    // Makes the view model; the tray icon comes with start(), the popover with the first click.
    // `recoversUnsent`: false for a copy that could not tell whether another one runs.
    explicit TolvexApp(bool recoversUnsent, QObject *parent = nullptr);
    ~TolvexApp() override;

    // Puts the icon into the tray, or, when no tray appears, shows a window that says so.
    void start();
    // Every way out (the menu, Ctrl+Q, SIGTERM, SIGINT) comes here: a recording under way
    // stops capturing so its part files are complete, a stop or a mix under way is waited for
    // (up to AppViewModel::maxQuitWait), then the program ends.
    void requestQuit();

    // Beyond the view model's own wait for a stop or a mix.
    static constexpr std::chrono::milliseconds quitMargin{1000};

private:
    void checkForTray();
    void createTray();
    void showNoticeInToolTip();
    void showNoTrayNotice();
    void onTrayActivated(QSystemTrayIcon::ActivationReason reason);
    // The QML engine and the screens cost tens of megabytes: a program that mostly waits in
    // the tray makes them only when the popover is first asked for.
    PopoverWindow &popover();
    QCoro::Task<> quitSafely();
    [[noreturn]] static void endAsCrashWould();

    // Declared in the order they must be made; they go in the reverse order.
    std::unique_ptr<AppViewModel> m_viewModel;
    std::unique_ptr<QQmlEngine> m_engine;
    std::unique_ptr<PopoverWindow> m_popover;
    std::unique_ptr<QMenu> m_menu;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    std::unique_ptr<NoTrayWindow> m_notice;
    QTimer m_trayPoll;
    QElapsedTimer m_trayWait;
    bool m_quitting = false;
};
