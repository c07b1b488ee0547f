#pragma once
// The icon's menu, the same on every tray: open the popover, the screen's main action (and a
// new recording while a failed one is kept), the recordings that wait to be sent, whether
// calls are offered for recording, quit.

#include <QObject>

#include <memory>

class AppViewModel;
class LoginAutostart;
class QAction;
class QMenu;

class TrayMenu : public QObject {
    Q_OBJECT

public:
    static constexpr const char *startText = "Начать запись";
    static constexpr const char *stopText = "Остановить запись";
    static constexpr const char *retryText = "Повторить загрузку";
    static constexpr const char *newRecordingText = "Начать новую запись";
    static constexpr const char *sendNowText = "Отправить сейчас";
    static constexpr const char *atLoginText = "Запускать при входе";
    static constexpr const char *callOffersText = "Предлагать запись звонков";

    TrayMenu(AppViewModel &viewModel, LoginAutostart &autostart, QObject *parent = nullptr);
    ~TrayMenu() override;

    [[nodiscard]] QMenu &menu() { return *m_menu; }
    // The check of "Запускать при входе" follows the autostart entry, which the user may also
    // have removed by hand.
    void followAutostart();
    void setCallOffers(bool on);

signals:
    void openRequested();
    void quitRequested();
    void callOffersToggled(bool on);

private:
    // The main action follows the state: absent while signed out or uploading, disabled
    // while an operation runs.
    void followState();
    void runMainAction();

    AppViewModel &m_viewModel;
    LoginAutostart &m_autostart;
    std::unique_ptr<QMenu> m_menu;
    QAction *m_atLogin = nullptr;
    QAction *m_main = nullptr;
    QAction *m_newRecording = nullptr;
    // "Не отправлено: N", not clickable, and the action that sends them.
    QAction *m_unsent = nullptr;
    QAction *m_sendNow = nullptr;
    QAction *m_callOffers = nullptr;
};
