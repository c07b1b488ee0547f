#pragma once
// Owning pointers for the libpulse objects: each handle is released exactly once, on every path.

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop-api.h>
#include <pulse/operation.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>

#include <memory>

namespace pulse {

struct ContextDeleter {
    void operator()(pa_context *context) const noexcept {
        // Disconnecting reports a state change; it must not reach an owner that is going away.
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};

struct StreamDeleter {
    void operator()(pa_stream *stream) const noexcept {
        // Callbacks must not fire into an owner that is going away.
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_suspended_callback(stream, nullptr, nullptr);
        pa_stream_set_latency_update_callback(stream, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
            pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
};

struct OperationDeleter {
    void operator()(pa_operation *operation) const noexcept { pa_operation_unref(operation); }
};

// A timer event of a main loop; the loop must outlive it.
struct TimeEventDeleter {
    pa_mainloop_api *api = nullptr;
    void operator()(pa_time_event *event) const noexcept { api->time_free(event); }
};

using ContextPtr = std::unique_ptr<pa_context, ContextDeleter>;
using StreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;
using TimeEventPtr = std::unique_ptr<pa_time_event, TimeEventDeleter>;

} // namespace pulse
