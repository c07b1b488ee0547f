#!/bin/bash
# Runs a command on a private desktop that goes away with it: an X display (Xvfb) with an
# XEmbed tray host (trayer) at the top right, or with --desktop sway a headless sway with
# XWayland (in-sway.sh), or with --desktop gnome a headless GNOME Shell with the AppIndicator
# extension (in-gnome.sh), or with --desktop kde KDE Plasma's window manager on that X display
# (in-kde.sh), or with --desktop kde-wayland a headless KWin Wayland compositor (in-kde.sh
# --wayland); all but x11 run as the unprivileged user "tolvex-desktop" when started as root, as
# a desktop user would; a sound server (PulseAudio, or PipeWire with
# WirePlumber and pipewire-pulse) whose default output is the null sink "speakers" and whose
# default input "mic" hears what is played into "micsink"; and, through with-keyring.sh, a D-Bus
# session with an unlocked keyring and a private HOME.
# Exports DISPLAY, PULSE_SERVER, PULSE_CLIENTCONFIG, TOLVEX_DESKTOP (its folder, under /tmp as
# a socket path must stay short) and TOLVEX_TRAY_PID (to take the tray away).
# Usage: with-desktop.sh [--desktop x11|sway|gnome|kde|kde-wayland] [--sound pulseaudio|pipewire] COMMAND...
# TOLVEX_SOUND_SERVER=pipewire chooses PipeWire as --sound does.
set -eu
sound=${TOLVEX_SOUND_SERVER:-pulseaudio}
desktop=x11
while [ "${1:-}" = --sound ] || [ "${1:-}" = --desktop ]; do
    if [ "$1" = --sound ]; then sound=${2:-}; else desktop=${2:-}; fi
    shift 2
done
[ $# -ge 1 ] || { echo "usage: $0 [--desktop x11|sway|gnome|kde|kde-wayland] [--sound pulseaudio|pipewire] COMMAND..." >&2; exit 2; }

if [ "$desktop" != x11 ] && [ "$(id -u)" -eq 0 ]; then
    id tolvex-desktop >/dev/null 2>&1 ||
        useradd --system --no-create-home --shell /usr/sbin/nologin tolvex-desktop
    # The test's own folder becomes the desktop user's; everything else it makes is in /tmp.
    [ -z "${TMPDIR:-}" ] || chown -R tolvex-desktop: "$TMPDIR"
    # The user runs the build's programs and these scripts: every folder above them must let it
    # pass (only pass: o+x, not list), as a checkout in a private home folder would not.
    for path in "$(realpath "$1")" "$(realpath "$0")"; do
        while path=$(dirname "$path") && [ "$path" != / ]; do
            [ -n "$(find "$path" -maxdepth 0 -perm -o+x)" ] || chmod o+x "$path"
        done
    done
    exec setpriv --reuid=tolvex-desktop --regid=tolvex-desktop --clear-groups \
        "$0" --desktop "$desktop" --sound "$sound" "$@"
fi

desk=$(mktemp -d /tmp/tolvex-desktop.XXXXXX)
pids=()
stop() {
    kill "${pids[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$desk"
}
trap stop EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
# Starts a helper in the background that dies with this script, however this script ends.
helper() {
    setpriv --pdeathsig KILL "$@" <&0 &
    pids+=($!)
}
# Waits up to 15 s for a command to succeed.
until_ok() {
    for _ in $(seq 150); do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; done
    echo "with-desktop.sh: $1 did not come up" >&2
    exit 1
}

if [ "$desktop" = x11 ] || [ "$desktop" = kde ]; then
    # -displayfd picks a free display number and writes it once the server is ready.
    helper Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$desk/display" 2>/dev/null
    until_ok grep -q . "$desk/display"
    export DISPLAY=":$(cat "$desk/display")"
    unset WAYLAND_DISPLAY
fi
if [ "$desktop" = x11 ]; then
    helper trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
        --transparent false --tint 0x333333 --expand true >/dev/null 2>&1
    export TOLVEX_TRAY_PID=${pids[-1]}
    until_ok xdotool search --name '^panel$'
fi

mkdir -p "$desk/pulse/home" && mkdir -m 700 "$desk/pulse/run"
# Without a display to find one through, no daemon starts a D-Bus session of its own.
daemon() {
    helper env -u DBUS_SESSION_BUS_ADDRESS -u PULSE_SERVER -u DISPLAY HOME="$desk/pulse/home" \
        XDG_RUNTIME_DIR="$desk/pulse/run" XDG_CONFIG_HOME="$desk/pulse/home/.config" "$@" \
        2>>"$desk/pulse/daemon.log"
}
if [ "$sound" = pipewire ]; then
    # WirePlumber needs a session bus; pipewire-pulse listens where PulseAudio would.
    conf="$desk/pulse/home/.config/pipewire/pipewire-pulse.conf.d"
    mkdir -p "$conf" && echo "pulse.properties = { server.address = [" \
        "\"unix:$desk/pulse/run/native\" ] }" >"$conf/tolvex.conf"
    bus="unix:path=$desk/pulse/run/bus"
    daemon dbus-daemon --session --nofork --address="$bus"
    daemon DBUS_SESSION_BUS_ADDRESS="$bus" pipewire
    until_ok test -S "$desk/pulse/run/pipewire-0"
    daemon DBUS_SESSION_BUS_ADDRESS="$bus" wireplumber
    daemon pipewire-pulse
else
    echo "load-module module-native-protocol-unix auth-anonymous=1 socket=$desk/pulse/run/native" \
        >"$desk/pulse/default.pa"
    daemon pulseaudio -n --daemonize=no --system=false --use-pid-file=no --exit-idle-time=-1 \
        --disallow-exit --log-target=stderr --log-level=warning -F "$desk/pulse/default.pa"
fi
export PULSE_SERVER="unix:$desk/pulse/run/native"
# The client library would otherwise read the machine's client.conf and cookie.
export PULSE_CLIENTCONFIG="$desk/pulse/client.conf"
until_ok pactl info
# PipeWire takes the defaults once WirePlumber runs, which may be later than the answer.
for command in "load-module module-null-sink sink_name=speakers" \
    "load-module module-null-sink sink_name=micsink" \
    "load-module module-remap-source source_name=mic master=micsink.monitor" \
    "set-default-sink speakers" "set-default-source mic"; do
    until_ok pactl $command
done
# Silence keeps both null sinks running, so their monitors deliver steadily rather than in
# 2 s bursts; a fresh null sink has rendered 2 s ahead, which must pass first.
for sink in speakers micsink; do
    helper pacat --playback --device=$sink --raw --latency-msec=20 </dev/zero
done
sleep 2.1

export TOLVEX_DESKTOP="$desk"
status=0
if [ "$desktop" = kde-wayland ]; then
    "$(dirname "$0")/with-keyring.sh" "$(dirname "$0")/in-kde.sh" --wayland "$@" || status=$?
elif [ "$desktop" != x11 ]; then
    "$(dirname "$0")/with-keyring.sh" "$(dirname "$0")/in-$desktop.sh" "$@" || status=$?
else
    "$(dirname "$0")/with-keyring.sh" "$@" || status=$?
fi
exit "$status"
