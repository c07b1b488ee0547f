#pragma once
// A transparent window over the whole screen, just below the popover, that takes the first
// click outside the popover. Under XWayland the compositor never gives the popover (a window it
// does not manage) the focus, so a click elsewhere cannot be seen as a focus loss; with the
// shield it lands on a window of the program's own instead.

#include <QRasterWindow>

class ClickShield : public QRasterWindow {
    Q_OBJECT

public:
    ClickShield();

    // Covers every screen, under windows mapped after it.
    void cover();

signals:
    void pressed();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
};
