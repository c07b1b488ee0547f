#include "X11PressWatcher.h"

#include "X11Hints.h"

#include <QCoreApplication>

#include <xcb/xcb.h>
#include <xcb/xinput.h>

X11PressWatcher::X11PressWatcher() {
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11PressWatcher::~X11PressWatcher() {
    stop();
    QCoreApplication::instance()->removeNativeEventFilter(this);
}

void X11PressWatcher::start() {
    xcb_connection_t *connection = X11Hints::connection();
    if (connection == nullptr || m_opcode != 0) {
        return;
    }
    const xcb_query_extension_reply_t *input = xcb_get_extension_data(connection, &xcb_input_id);
    if (input == nullptr || !input->present) {
        return;
    }
    m_opcode = input->major_opcode;
    select(true);
}

void X11PressWatcher::stop() {
    if (m_opcode == 0) {
        return;
    }
    select(false);
    m_opcode = 0;
}

// Raw events are sent to whoever selects them on the root window, beside the usual delivery.
void X11PressWatcher::select(bool presses) {
    xcb_connection_t *connection = X11Hints::connection();
    if (connection == nullptr) {
        return;
    }
    struct {
        xcb_input_event_mask_t head;
        quint32 mask;
    } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
           presses ? quint32(XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS) : 0U};
    const xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    xcb_input_xi_select_events(connection, screen->root, 1, &mask.head);
    xcb_flush(connection);
}

bool X11PressWatcher::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *) {
    if (m_opcode == 0 || eventType != "xcb_generic_event_t") {
        return false;
    }
    const auto *event = static_cast<const xcb_ge_generic_event_t *>(message);
    if ((event->response_type & 0x7f) == XCB_GE_GENERIC && event->extension == m_opcode &&
        event->event_type == XCB_INPUT_RAW_BUTTON_PRESS) {
        emit pressed();
    }
    return false;
}
