#!/bin/bash
# Runs a command on a KDE Plasma desktop, inside the current D-Bus session: on X11 (Debian 12's
# Plasma session) KWin on the display it is given; with --wayland a headless KWin Wayland
# compositor of its own (1280x800, with XWayland), which takes screenshots
# (org.kde.kwin.Screenshot) and fake input from the tests. Either way kded5, whose
# StatusNotifier watcher a Plasma session starts before its panel. The panel (plasmashell, with
# the system tray in a 44 px bar at the bottom of the screen) is left to the command, so it can
# start it when it likes. Exports XDG_CURRENT_DESKTOP and the variables a Plasma session sets,
# and with --wayland WAYLAND_DISPLAY and DISPLAY (XWayland's).
# Usage: in-kde.sh [--wayland] COMMAND [ARGS...]
set -eu
wayland=false
[ "${1:-}" != --wayland ] || { wayland=true; shift; }
[ $# -ge 1 ] || { echo "usage: $0 [--wayland] COMMAND [ARGS...]" >&2; exit 2; }
export XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5

log=$(mktemp "${TMPDIR:-/tmp}/tolvex-kde.XXXXXX")
pids=()
stop() {
    kill "${pids[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$log" "$log.env" "$log.bin"
}
trap stop EXIT
trap 'exit 143' TERM
until_ok() {
    for _ in $(seq 300); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    echo "in-kde.sh: $* did not come up" >&2
    cat "$log" >&2
    exit 1
}
if $wayland; then
    export KWIN_SCREENSHOT_NO_PERMISSION_CHECKS=1 KWIN_WAYLAND_NO_PERMISSION_CHECKS=1
    # kwin_wayland carries a file capability that a container's bounding set may lack, and then
    # cannot be started: a copy has none (KWin only asks that its name stay kwin_wayland).
    mkdir "$log.bin" && cp "$(command -v kwin_wayland)" "$log.bin/"
    # KWin gives its session's programs XWayland's display; one that only prints it learns it.
    setpriv --pdeathsig KILL "$log.bin/kwin_wayland" --virtual --xwayland --width 1280 --height 800 \
        --socket wayland-kde --exit-with-session \
        "sh -c 'env >$log.env; exec setpriv --pdeathsig KILL sleep infinity'" >>"$log" 2>&1 &
    pids+=($!)
    until_ok grep -q '^DISPLAY=' "$log.env"
    export WAYLAND_DISPLAY=wayland-kde "$(grep '^DISPLAY=' "$log.env")"
    # Programs the bus starts (the activity manager the panel needs) find the desktop too.
    dbus-update-activation-environment WAYLAND_DISPLAY DISPLAY XDG_CURRENT_DESKTOP
else
    setpriv --pdeathsig KILL kwin_x11 >>"$log" 2>&1 &
    pids+=($!)
    until_ok sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'
fi
setpriv --pdeathsig KILL kded5 >>"$log" 2>&1 &
pids+=($!)
until_ok sh -c 'dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.NameHasOwner string:org.kde.StatusNotifierWatcher | grep -q true'
status=0
"$@" || status=$?
[ "$status" -eq 0 ] || tail -40 "$log" >&2
exit "$status"
