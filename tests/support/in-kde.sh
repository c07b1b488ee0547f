#!/bin/bash
# Runs a command on a KDE Plasma desktop on X11 (Debian 12's Plasma session), on the display and
# in the D-Bus session it is given: KWin as the window manager and kded5, whose StatusNotifier
# watcher a Plasma session starts before its panel. The panel (plasmashell, with the system tray
# in a 44 px bar at the bottom of the screen) is left to the command, so it can start it when it
# likes. Exports XDG_CURRENT_DESKTOP and the variables a Plasma session sets.
# Usage: in-kde.sh COMMAND [ARGS...]
set -eu
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }
export XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5

log=$(mktemp "${TMPDIR:-/tmp}/tolvex-kde.XXXXXX")
pids=()
stop() {
    kill "${pids[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -f "$log"
}
trap stop EXIT
trap 'exit 143' TERM
until_ok() {
    for _ in $(seq 300); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    echo "in-kde.sh: $* did not come up" >&2
    cat "$log" >&2
    exit 1
}
setpriv --pdeathsig KILL kded5 >>"$log" 2>&1 &
pids+=($!)
setpriv --pdeathsig KILL kwin_x11 >>"$log" 2>&1 &
pids+=($!)
until_ok sh -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"'
until_ok sh -c 'dbus-send --session --print-reply --dest=org.freedesktop.DBus / \
    org.freedesktop.DBus.NameHasOwner string:org.kde.StatusNotifierWatcher | grep -q true'
status=0
"$@" || status=$?
[ "$status" -eq 0 ] || tail -40 "$log" >&2
exit "$status"
