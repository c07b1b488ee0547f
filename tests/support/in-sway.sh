#!/bin/bash
# Runs a command on a headless sway (a wlroots Wayland desktop, with XWayland) inside the
# current D-Bus session, and stops the desktop afterwards. The tray host (waybar) is left to the
# command, so it can start it when it likes: TOLVEX_WAYBAR_CONFIG is its configuration (a bar at
# the top of the 1280x800 screen holding only the tray). Exports WAYLAND_DISPLAY, DISPLAY
# (XWayland's) and SWAYSOCK. Clicks need a pointer, which a desktop without input devices gets
# from the virtual pointer helper (TOLVEX_VIRTUAL_POINTER).
# Usage: in-sway.sh COMMAND [ARGS...]; sway refuses to run as root.
set -eu
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }

desk=$(mktemp -d "${TMPDIR:-/tmp}/tolvex-sway.XXXXXX")
cat >"$desk/sway.conf" <<CONF
output HEADLESS-1 resolution 1280x800 position 0 0
xwayland force
exec env >"$desk/env"
CONF
echo '{ "layer": "top", "position": "top", "height": 30, "modules-right": ["tray"],
  "tray": { "icon-size": 21, "spacing": 8 } }' >"$desk/waybar.json"
export TOLVEX_WAYBAR_CONFIG="$desk/waybar.json"

WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    setpriv --pdeathsig KILL sway -c "$desk/sway.conf" >"$desk/sway.log" 2>&1 &
sway=$!
stop() {
    kill "$sway" 2>/dev/null || true
    wait "$sway" 2>/dev/null || true
    rm -rf "$desk"
}
trap stop EXIT
trap 'exit 143' TERM
for _ in $(seq 150); do grep -q '^DISPLAY=' "$desk/env" 2>/dev/null && break; sleep 0.1; done
grep -q '^DISPLAY=' "$desk/env" || { echo "in-sway.sh: sway did not start" >&2; cat "$desk/sway.log" >&2; exit 1; }
for name in WAYLAND_DISPLAY DISPLAY SWAYSOCK; do export "$(grep "^$name=" "$desk/env")"; done
status=0
"$@" || status=$?
exit "$status"
