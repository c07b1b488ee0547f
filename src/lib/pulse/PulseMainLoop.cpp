#include "PulseMainLoop.h"

#include "PulseError.h"

#include <pulse/def.h>

void PulseMainLoop::Deleter::operator()(pa_threaded_mainloop *loop) const noexcept {
    pa_threaded_mainloop_free(loop);
}

PulseMainLoop::PulseMainLoop(const char *threadName)
    : m_loop(pa_threaded_mainloop_new()) {
    if (!m_loop)
        throw PulseError("cannot create the sound server loop", PA_ERR_INTERNAL);
    pa_threaded_mainloop_set_name(m_loop.get(), threadName);
}

PulseMainLoop::~PulseMainLoop() {
    stop();
}

void PulseMainLoop::start() {
    if (m_running)
        return;
    if (pa_threaded_mainloop_start(m_loop.get()) < 0)
        throw PulseError("cannot start the sound server loop", PA_ERR_INTERNAL);
    m_running = true;
}

void PulseMainLoop::stop() noexcept {
    if (!m_running)
        return;
    pa_threaded_mainloop_stop(m_loop.get());
    m_running = false;
}

pa_mainloop_api *PulseMainLoop::api() const noexcept {
    return pa_threaded_mainloop_get_api(m_loop.get());
}
