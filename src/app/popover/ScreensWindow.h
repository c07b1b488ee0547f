#pragma once
// A Qt Quick window that hosts the screens: the popover below the tray icon, or the window
// that stands in for it where there is no tray. Both load the same root view, as wide as the
// popover and as high as the view asks.

#include <QPointer>
#include <QQuickItem>
#include <QQuickWindow>
#include <QUrl>

class AppViewModel;
class QQmlEngine;

class ScreensWindow : public QQuickWindow {
    Q_OBJECT

public:
    ~ScreensWindow() override;

    // The popover's width, which the window without a tray keeps, so that the screens read the
    // same in both.
    static constexpr int popoverWidth = 300;
    // Used until the view reports a height of its own.
    static constexpr int fallbackHeight = 320;

signals:
    // Ctrl+Q in the screens, as in the tray menu.
    void quitRequested();

protected:
    // Loads the root view from `viewUrl` with `vm` set to `viewModel`. Throws
    // std::runtime_error with the toolkit's messages when the view cannot be made.
    ScreensWindow(QQmlEngine &engine, const QUrl &viewUrl, AppViewModel &viewModel);

    bool event(QEvent *event) override;
    // Escape.
    virtual void dismissByKey() = 0;
    // The window took the view's new height.
    virtual void resizedToView() {}
    [[nodiscard]] QQuickItem *view() const { return m_view; }

private:
    void followViewHeight();

    QPointer<QQuickItem> m_view;
};
