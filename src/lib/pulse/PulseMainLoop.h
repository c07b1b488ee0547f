#pragma once
// Owns a libpulse threaded main loop; its thread carries every callback of the objects bound
// to it. Objects using the loop must be destroyed after stop() or with the loop locked.

#include <pulse/mainloop-api.h>
#include <pulse/thread-mainloop.h>

#include <memory>

class PulseMainLoop {
public:
    // Throws PulseError when the loop cannot be created.
    explicit PulseMainLoop(const char *threadName);
    ~PulseMainLoop();
    PulseMainLoop(const PulseMainLoop &) = delete;
    PulseMainLoop &operator=(const PulseMainLoop &) = delete;

    // Throws PulseError when the thread cannot be started.
    void start();
    // Joins the loop's thread; no callback runs afterwards. Never call it from that thread.
    void stop() noexcept;

    void lock() noexcept { pa_threaded_mainloop_lock(m_loop.get()); }
    void unlock() noexcept { pa_threaded_mainloop_unlock(m_loop.get()); }

    [[nodiscard]] pa_mainloop_api *api() const noexcept;

private:
    struct Deleter {
        void operator()(pa_threaded_mainloop *loop) const noexcept;
    };
    std::unique_ptr<pa_threaded_mainloop, Deleter> m_loop;
    bool m_running = false;
};

// Holds the loop's lock for a scope, the way libpulse wants every call from outside its thread.
class PulseLock {
public:
    explicit PulseLock(PulseMainLoop &loop) noexcept
        : m_loop(loop) {
        m_loop.lock();
    }
    ~PulseLock() { m_loop.unlock(); }
    PulseLock(const PulseLock &) = delete;
    PulseLock &operator=(const PulseLock &) = delete;

private:
    PulseMainLoop &m_loop;
};
