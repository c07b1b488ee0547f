#pragma once
// GNOME and KDE Plasma under Wayland send keys to an X window only once the compositor has
// focused it, which they never do for the popover (a window they do not manage). The keeper is a
// managed window of the program's own, hidden under the popover while it is open, that takes the
// focus: Escape and Ctrl+Q then reach the program, and the focus leaving it means the user went
// elsewhere.

#include <QRasterWindow>

class QQuickWindow;

class FocusKeeper : public QRasterWindow {
    Q_OBJECT

public:
    // Keys it takes go to `popover`, whose background it paints.
    explicit FocusKeeper(QQuickWindow &popover);

    // Shows the keeper at `area` (under the popover) and asks for the focus for it.
    void cover(const QRect &area);

signals:
    void focusTaken();
    void focusLost();

protected:
    void exposeEvent(QExposeEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    QQuickWindow &m_popover;
    // The window manager ignores a request for a window it has not yet mapped.
    bool m_activateOnExpose = false;
};
