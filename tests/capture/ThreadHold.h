#pragma once
// Holds one thread of this process where it is, as a loaded machine or a slow disk would: a
// signal sent to that thread alone parks it in its handler until release (a thread that blocks
// signals, as libpulse's loop does, cannot be held this way). Nothing in the
// program knows about it. One hold at a time.

#include <QString>

class ThreadHold {
public:
    // Holds the thread named `name` (as in /proc/self/task/*/comm); held() is false when no
    // such thread parked within a few seconds.
    explicit ThreadHold(const QString &name);
    ~ThreadHold();
    ThreadHold(const ThreadHold &) = delete;
    ThreadHold &operator=(const ThreadHold &) = delete;

    [[nodiscard]] bool held() const { return m_held; }
    // Lets the thread go on; waits until it has left the handler.
    void release();

private:
    bool m_held = false;
};
