#!/bin/sh
# Runs a command inside a private D-Bus session with an unlocked GNOME keyring, so that
# Secret Service tests work as root on a machine with no session bus. HOME and the XDG
# folders point into a temporary folder that is removed afterwards, so parallel runs do not
# share a keyring and nothing is left behind.
#
# Usage: with-keyring.sh COMMAND [ARGS...]
set -eu

[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARGS...]" >&2; exit 2; }

base=$(mktemp -d "${TMPDIR:-/tmp}/tolvex-keyring.XXXXXX")
trap 'rm -rf "$base"' EXIT INT TERM

export HOME="$base/home"
export XDG_RUNTIME_DIR="$base/run"
export XDG_DATA_HOME="$HOME/.local/share"
export XDG_CONFIG_HOME="$HOME/.config"
export XDG_CACHE_HOME="$HOME/.cache"
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL

# Inside the session: the password creates the "login" keyring, unlocked, and makes it
# the default collection. The daemon exits with the bus when the session ends.
status=0
dbus-run-session -- sh -c '
    printf "tolvex" | gnome-keyring-daemon --unlock --components=secrets >/dev/null || exit 97
    exec "$@"
' with-keyring "$@" || status=$?
exit "$status"
