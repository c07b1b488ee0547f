#pragma once
// Tells of every mouse button press anywhere on the X display while it watches, whichever window
// it lands on; the press still goes where it was going. A click on a desktop's panel takes no
// focus from the popover, so losing the focus alone does not tell that the user clicked
// elsewhere.

#include <QAbstractNativeEventFilter>
#include <QObject>

class X11PressWatcher : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    X11PressWatcher();
    ~X11PressWatcher() override;

    // Does nothing where the program does not talk to an X server with the input extension.
    void start();
    void stop();

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

signals:
    void pressed();

private:
    void select(bool presses);

    // The input extension's events carry this number; 0 while not watching.
    quint8 m_opcode = 0;
};
