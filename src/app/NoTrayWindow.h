#pragma once
// Shown instead of running invisibly when the desktop has no tray for the icon.

#include <QWidget>

class NoTrayWindow : public QWidget {
    Q_OBJECT

public:
    explicit NoTrayWindow(QWidget *parent = nullptr);

signals:
    // The user closed the window or pressed its button: without a tray there is nothing left.
    void dismissed();

protected:
    void closeEvent(QCloseEvent *event) override;
};
