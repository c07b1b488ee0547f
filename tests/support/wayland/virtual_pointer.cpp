// A pointer for a Wayland desktop that has no input devices (a headless compositor in the
// tests): made once and kept while this runs, so clients keep their pointer between clicks.
// Through wlroots' virtual pointer protocol, or KWin's fake input, which also has keys.
// Reads commands from its input, one per line, and answers each with "ok" once the compositor
// has taken it:
//   move X Y WIDTH HEIGHT   the pointer to (X, Y) on a layout of that size
//   press BUTTON | release BUTTON   a Linux button code (272 left, 273 right)
//   key CODE                a Linux key code pressed and released (1 Escape), on KWin only
// Ends at the end of its input.

#include "fake-input-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>

namespace {

wl_seat *seat = nullptr;
zwlr_virtual_pointer_manager_v1 *manager = nullptr;
org_kde_kwin_fake_input *fakeInput = nullptr;

void global(void *, wl_registry *registry, uint32_t name, const char *interface, uint32_t version) {
    if (std::strcmp(interface, wl_seat_interface.name) == 0)
        seat = static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
        manager = static_cast<zwlr_virtual_pointer_manager_v1 *>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
    else if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 && version >= 4)
        fakeInput = static_cast<org_kde_kwin_fake_input *>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
}

void globalRemove(void *, wl_registry *, uint32_t) {}

const wl_registry_listener registryListener{global, globalRemove};

uint32_t now() {
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

} // namespace

int main() {
    wl_display *display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "virtual_pointer: no Wayland display\n");
        return 1;
    }
    wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, nullptr);
    wl_display_roundtrip(display);
    if (!fakeInput && (!seat || !manager)) {
        std::fprintf(stderr, "virtual_pointer: the compositor offers no virtual pointer\n");
        return 1;
    }
    zwlr_virtual_pointer_v1 *pointer =
        fakeInput ? nullptr : zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, seat);
    if (fakeInput)
        org_kde_kwin_fake_input_authenticate(fakeInput, "Tolvex tests", "clicks of the tests");
    wl_display_roundtrip(display);
    std::cout << "ok" << std::endl;

    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        uint32_t x = 0, y = 0, width = 1, height = 1, code = 0;
        if (command == "move") {
            words >> x >> y >> width >> height;
            if (fakeInput)
                org_kde_kwin_fake_input_pointer_motion_absolute(fakeInput, wl_fixed_from_int(x),
                                                                wl_fixed_from_int(y));
            else
                zwlr_virtual_pointer_v1_motion_absolute(pointer, now(), x, y, width, height);
        } else if (command == "press" || command == "release") {
            words >> code;
            const uint32_t state = command == "press" ? WL_POINTER_BUTTON_STATE_PRESSED
                                                      : WL_POINTER_BUTTON_STATE_RELEASED;
            if (fakeInput)
                org_kde_kwin_fake_input_button(fakeInput, code, state);
            else
                zwlr_virtual_pointer_v1_button(pointer, now(), code, state);
        } else if (command == "key" && fakeInput) {
            words >> code;
            org_kde_kwin_fake_input_keyboard_key(fakeInput, code, WL_KEYBOARD_KEY_STATE_PRESSED);
            org_kde_kwin_fake_input_keyboard_key(fakeInput, code, WL_KEYBOARD_KEY_STATE_RELEASED);
        } else {
            std::cout << "unknown command" << std::endl;
            continue;
        }
        if (pointer)
            zwlr_virtual_pointer_v1_frame(pointer);
        if (wl_display_roundtrip(display) < 0)
            return 1;
        std::cout << "ok" << std::endl;
    }
    // The compositor takes the pointer away with the connection.
    wl_display_disconnect(display);
    return 0;
}
