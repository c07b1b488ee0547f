#pragma once
// Where no tray shows the icon, the screens in an ordinary window titled with the product's name
// and with its icon, and a notice above them. Closing it only hides it: it is the program.

#include "ScreensWindow.h"

class NoTrayWindow : public ScreensWindow {
    Q_OBJECT

public:
    // See ScreensWindow.
    NoTrayWindow(QQmlEngine &engine, const QUrl &viewUrl, AppViewModel &viewModel);

    // Shows the window in front, with `notice` above the screens.
    void present(const QString &notice);

protected:
    bool event(QEvent *event) override;
    void dismissByKey() override;
};
