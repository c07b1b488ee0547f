#!/bin/bash
# Runs a command on a headless GNOME Shell (Wayland, with XWayland) with the AppIndicator
# extension, inside the current D-Bus session, and stops the desktop afterwards. GNOME Shell
# wants a system bus: a private one stands in. Exports WAYLAND_DISPLAY, DISPLAY (XWayland's) and
# XDG_CURRENT_DESKTOP, as a GNOME session does.
# Input goes through Mutter's RemoteDesktop D-Bus API and screenshots through the Shell's own,
# both on the session bus.
# Usage: in-gnome.sh COMMAND [ARGS...]
set -eu
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }

desk=$(mktemp -d "${TMPDIR:-/tmp}/tolvex-gnome.XXXXXX")
pids=()
stop() {
    kill "${pids[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$desk"
}
trap stop EXIT
trap 'exit 143' TERM
until_ok() {
    for _ in $(seq 300); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    echo "in-gnome.sh: $* did not come up" >&2
    cat "$desk/shell.log" >&2
    exit 1
}
owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
        org.freedesktop.DBus.NameHasOwner "string:$1" | grep -q 'boolean true'
}

setpriv --pdeathsig KILL dbus-daemon --session --nofork --address="unix:path=$desk/system_bus" \
    >/dev/null 2>&1 &
pids+=($!)
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$desk/system_bus"
until_ok test -S "$desk/system_bus"
gsettings set org.gnome.shell enabled-extensions "['ubuntu-appindicators@ubuntu.com']"
# The tests place the pointer by first pushing it into the top left corner.
gsettings set org.gnome.desktop.interface enable-hot-corners false
setpriv --pdeathsig KILL gnome-shell --headless --wayland --virtual-monitor 1280x800 \
    >"$desk/shell.log" 2>&1 &
pids+=($!)
shell=$!
until_ok owned org.gnome.Shell.Screenshot
until_ok owned org.kde.StatusNotifierWatcher
until_ok test -S "$XDG_RUNTIME_DIR/wayland-0"
export WAYLAND_DISPLAY=wayland-0 XDG_CURRENT_DESKTOP=GNOME
# XWayland's displays are reserved by the Shell, whose lock files hold its pid; clients get the
# first.
display=""
for lock in $(ls /tmp/.X*-lock | sort -V); do
    [ "$(tr -d ' \n' <"$lock")" = "$shell" ] && { display=${lock#/tmp/.X}; break; }
done
[ -n "$display" ] || { echo "in-gnome.sh: no XWayland display" >&2; exit 1; }
export DISPLAY=":${display%-lock}"
auth=$(ls "$XDG_RUNTIME_DIR"/.mutter-Xwaylandauth.* 2>/dev/null | head -1)
[ -z "$auth" ] || export XAUTHORITY="$auth"
# The Shell starts XWayland for its first X client; the tests' own clients expect it up.
until_ok timeout 5 xdotool getdisplaygeometry
status=0
"$@" || status=$?
# What the Shell, XWayland and the extensions said last, for a failed test.
[ "$status" -eq 0 ] || tail -n 60 "$desk/shell.log" >&2
exit "$status"
