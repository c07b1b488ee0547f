#include "NoTrayWindow.h"

#include "TrayIconArt.h"

#include <QQuickItem>

NoTrayWindow::NoTrayWindow(QQmlEngine &engine, const QUrl &viewUrl, AppViewModel &viewModel)
    : ScreensWindow(engine, viewUrl, viewModel) {
    setFlags(Qt::Window);
    setIcon(TrayIconArt::icon(false));
}

void NoTrayWindow::present(const QString &notice) {
    if (view() != nullptr) {
        view()->setProperty("notice", notice);
    }
    show();
    raise();
    requestActivate();
}

bool NoTrayWindow::event(QEvent *event) {
    if (event->type() == QEvent::Close) {
        event->ignore();
        hide();
        return true;
    }
    return ScreensWindow::event(event);
}

void NoTrayWindow::dismissByKey() {
    hide();
}
