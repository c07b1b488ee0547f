#!/bin/bash
# The program on a headless sway with waybar's tray, as a user of the test's own (sway refuses
# root): waybar's watcher gets the icon and draws it, and an Activate(x, y) like waybar's
# click opens the popover next to (x, y) on the screen, not centred or tiled by sway.
# Usage: sway-waybar.sh PROGRAM (as root)
set -eu
[ "$(id -u)" = 0 ] || { echo "sway-waybar: skipped, needs root to make its user" >&2; exit 77; }
user=tolvex-sway-test
id -u "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
run=$(mktemp -d /tmp/tolvex-sway.XXXXXX)
trap 'rm -rf "$run"' EXIT
cp "$1" "$run/tolvex"
printf '%s\n' "output HEADLESS-1 resolution 1280x800" "xwayland enable" "exec $run/inside.sh" \
    >"$run/config"
echo '{"position": "top", "height": 30, "modules-right": ["tray"]}' >"$run/waybar.json"
cat >"$run/inside.sh" <<'EOF'
#!/bin/bash
# Runs inside sway, which has set WAYLAND_DISPLAY, DISPLAY and SWAYSOCK.
cd "$(dirname "$0")"
exec >inside.log 2>&1
trap 'swaymsg exit' EXIT
fail() { echo "$1" >result; exit 1; }
until_ok() { for _ in $(seq 100); do eval "$1" >/dev/null 2>&1 && return 0; sleep 0.1; done; fail "$2"; }
names() { dbus-send --session --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.ListNames; }
waybar -c waybar.json >waybar.log 2>&1 &
until_ok "names | grep -q org.kde.StatusNotifierWatcher" "waybar's tray did not start"
./tolvex >tolvex.log 2>&1 &
item="org.kde.StatusNotifierItem-$!-1"
until_ok "dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher \
    /StatusNotifierWatcher org.freedesktop.DBus.Properties.Get \
    string:org.kde.StatusNotifierWatcher string:RegisteredStatusNotifierItems | grep -q $item" \
    "waybar's watcher did not get the icon"
sleep 1
grim -t ppm -g "1180,0 100x30" bar.ppm
dbus-send --session --print-reply --dest="$item" /StatusNotifierItem org.kde.StatusNotifierItem.Activate \
    int32:1200 int32:15
until_ok "xdotool search --onlyvisible --classname '^tolvex$' | grep -q ." "no popover"
sleep 1
window=$(xdotool search --onlyvisible --classname '^tolvex$' | head -1)
eval "$(xdotool getwindowgeometry --shell "$window")"
grim -t ppm screen.ppm
swaymsg -t get_tree >tree.json
echo "$X $Y $WIDTH $HEIGHT" >result
EOF
chown -R "$user": "$run" && chmod 700 "$run" && chmod +x "$run/inside.sh"
timeout 90 setpriv --reuid "$user" --regid "$user" --clear-groups env -i PATH=/usr/bin:/bin \
    HOME="$run" XDG_RUNTIME_DIR="$run" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
    WLR_RENDERER=pixman dbus-run-session -- sway -c "$run/config" >"$run/sway.log" 2>&1 || true
python3 - "$run" <<'EOF'
import json, sys
run = sys.argv[1]
def fail(why):
    sys.exit(f"sway-waybar: {why}")
def pixels(path):
    data = open(path, "rb").read()
    head = data.split(maxsplit=4)
    width, height = int(head[1]), int(head[2])
    return width, height, head[4]
try:
    result = open(f"{run}/result").read().split()
except FileNotFoundError:
    fail("sway did not run the test: " + open(f"{run}/sway.log").read()[-2000:])
if len(result) != 4:
    fail(" ".join(result))
x, y, w, h = map(int, result)
# The badge's indigo in the bar's tray area.
width, height, raw = pixels(f"{run}/bar.ppm")
indigo = [(raw[i], raw[i + 1], raw[i + 2]) for i in range(0, len(raw), 3)].count((0x63, 0x66, 0xf1))
if indigo < 20:
    fail(f"the icon is not in waybar ({indigo} indigo pixels)")
# Within 48 px of the point, below the 30 px bar, wholly on the screen.
nearest = (min(max(1200, x), x + w - 1), min(max(15, y), y + h - 1))
if abs(nearest[0] - 1200) + abs(nearest[1] - 15) > 48 or x < 0 or x + w > 1280 or y < 30 or y + h > 800:
    fail(f"the popover is at {x},{y} {w}x{h}, not next to 1200,15")
# Not a window sway manages (tiled, centred, framed): none of class tolvex in its tree.
def managed(node):
    props = node.get("window_properties") or {}
    return props.get("class") == "tolvex" or any(managed(n) for n in node.get("nodes", []) + node.get("floating_nodes", []))
if managed(json.load(open(f"{run}/tree.json"))):
    fail("sway manages the popover as a window of its own")
# The popover is drawn where X says it is: its dark footer, not sway's background.
width, height, raw = pixels(f"{run}/screen.ppm")
at = ((y + h - 5) * width + x + w // 2) * 3
if tuple(raw[at:at + 3]) == tuple(raw[(790 * width + 10) * 3:(790 * width + 10) * 3 + 3]):
    fail("nothing is drawn where the popover should be")
print(f"popover at {x},{y} {w}x{h}")
EOF
