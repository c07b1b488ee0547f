#pragma once
// The desktop the program runs in, worked out once the toolkit has its display: whether the
// program is an X client of a Wayland compositor, and whose compositor that is. Whatever
// behaves differently from desktop to desktop asks this value, not the environment.

class DesktopSession {
public:
    enum class Display {
        x11,      // an X server of its own, or a platform without X (offscreen, Wayland)
        xwayland, // an X client of a Wayland compositor
    };

    DesktopSession(Display display, bool gnomeOrPlasma) noexcept
        : m_display(display)
        , m_gnomeOrPlasma(gnomeOrPlasma) {}

    // The session the running toolkit is in. Call after the application object is made.
    [[nodiscard]] static DesktopSession detect();

    // Before the toolkit starts, from the environment and the command line.
    // Whether the toolkit has a display to connect to. Without one it would abort with a
    // message of its own, which tells a user in an ssh shell or a broken session nothing.
    [[nodiscard]] static bool displayAvailable(int argc, char *argv[]);
    // A Wayland client cannot place its own windows, so the popover would open wherever the
    // compositor likes. Through XWayland it can be put next to the icon; the user's own choice
    // of platform stands.
    static void preferXWaylandForPlacement(int argc, char *argv[]);

    // The compositor places the windows it manages as it likes, and gives no focus to one it
    // does not manage.
    [[nodiscard]] bool underXWayland() const noexcept { return m_display == Display::xwayland; }
    // Mutter and KWin under Wayland send keys to an X window only once they have focused it,
    // which they never do for a window they do not manage.
    [[nodiscard]] bool focusesManagedWindowsOnly() const noexcept {
        return underXWayland() && m_gnomeOrPlasma;
    }

private:
    Display m_display;
    bool m_gnomeOrPlasma;
};
