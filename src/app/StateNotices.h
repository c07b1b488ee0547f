#pragma once
// What the popover would show, said in a notification when the popover is closed: a recording
// that reached the service, an upload that failed (with its retry), a sign-in that expired
// while a recording waits. A failed upload's notification goes once the failure has passed.

#include "AppState.h"
#include "DesktopNotifier.h"

#include <QObject>

#include <functional>

class AppViewModel;

class StateNotices : public QObject {
    Q_OBJECT

public:
    static constexpr const char *retryAction = "retry";

    // `screensShown` tells whether the popover (or the window without a tray) is open.
    StateNotices(AppViewModel &viewModel, DesktopNotifier &notifier,
                 std::function<bool()> screensShown, QObject *parent = nullptr);

private:
    void followState();
    void onAction(DesktopNotifier::Kind kind, const QString &action);

    AppViewModel &m_viewModel;
    DesktopNotifier &m_notifier;
    std::function<bool()> m_screensShown;
    AppState m_last;
};
