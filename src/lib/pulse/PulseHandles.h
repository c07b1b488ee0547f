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
        // No callback may reach an owner that is going away.
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_write_callback(stream, nullptr, nullptr);
        pa_stream_set_overflow_callback(stream, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream, nullptr, nullptr);
        pa_stream_set_started_callback(stream, nullptr, nullptr);
        pa_stream_set_latency_update_callback(stream, nullptr, nullptr);
        pa_stream_set_moved_callback(stream, nullptr, nullptr);
        pa_stream_set_suspended_callback(stream, nullptr, nullptr);
        pa_stream_set_event_callback(stream, nullptr, nullptr);
        pa_stream_set_buffer_attr_callback(stream, nullptr, nullptr);
        switch (pa_stream_get_state(stream)) {
        case PA_STREAM_CREATING:
            // It cannot be disconnected before the server has answered, and once it answers
            // the stream would record, holding the device, for no one: it keeps its last
            // reference until then and ends itself.
            pa_stream_set_state_callback(stream, &endOnceCreated, nullptr);
            return;
        case PA_STREAM_READY:
            pa_stream_disconnect(stream);
            break;
        case PA_STREAM_UNCONNECTED:
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            break;
        }
        pa_stream_unref(stream);
    }

    static void endOnceCreated(pa_stream *stream, void *) noexcept {
        switch (pa_stream_get_state(stream)) {
        case PA_STREAM_READY:
            pa_stream_disconnect(stream); // ends in TERMINATED, which comes back here
            break;
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_unref(stream);
            break;
        case PA_STREAM_UNCONNECTED:
        case PA_STREAM_CREATING:
            break;
        }
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
