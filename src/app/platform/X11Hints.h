#pragma once
// What the program tells an X11 window manager about its own windows. Each does nothing where
// the program does not run on X11 (or XWayland).

class QWindow;
struct xcb_connection_t;

namespace X11Hints {

// The program's connection to the X server; null where it runs on another platform.
[[nodiscard]] xcb_connection_t *connection();

// Out of the task switcher, the pager and the overview. Call between create() and show(): Qt
// keeps the states it finds on a window it maps, and adds its own.
void skipTaskbarAndPager(QWindow &window);
// Asks the window manager to focus `window` as a pager would: granted without weighing the
// user's last click, which went to the desktop's panel or menu, not to the program.
void activateAsPager(QWindow &window);

} // namespace X11Hints
