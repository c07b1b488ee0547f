#!/usr/bin/env bash
# Starts PROGRAM as a login would: the program writes its autostart entry (the tray menu's
# "Запускать при входе", clicked over its D-Bus menu), the entry's Exec line is run, and the
# copy it started must answer `--status`. Private D-Bus session, no display (offscreen).
# Usage: tests/package/check-autostart.sh PROGRAM
set -euo pipefail
program=$1
fail() { echo "package.autostart: FAIL: $*" >&2; exit 1; }
if [ -z "${TOLVEX_AUTOSTART_HOME:-}" ]; then
    # The bus and what it starts (the keyring) live in the private home too.
    home=$(mktemp -d)
    trap 'rm -rf "$home"' EXIT
    export TOLVEX_AUTOSTART_HOME=$home HOME=$home XDG_CONFIG_HOME=$home/config \
        XDG_RUNTIME_DIR=$home/run QT_QPA_PLATFORM=offscreen
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    dbus-run-session -- "$0" "$@" 2>"$home/bus.log" || { cat "$home/bus.log" >&2; exit 1; }
    exit 0
fi
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait' EXIT
# Up to 20 s for `tolvex --status` to find a running copy.
answers() {
    for _ in $(seq 100); do "$program" --status >/dev/null 2>&1 && return 0; sleep 0.2; done
    return 1
}

"$program" >/dev/null 2>&1 &
pids+=($!)
answers || fail "$program did not come up"
layout=$(gdbus call --session --dest ru.tolvex.Tolvex --object-path /MenuBar \
    --method com.canonical.dbusmenu.GetLayout 0 'int32 -1' '@as []')
id=$(grep -oP "<\(\K[0-9]+(?=, \{[^}]*'label': <'Запускать при входе'>)" <<<"$layout") ||
    fail "the tray menu has no \"Запускать при входе\": $layout"
gdbus call --session --dest ru.tolvex.Tolvex --object-path /MenuBar \
    --method com.canonical.dbusmenu.Event "$id" clicked '<0>' 0 >/dev/null
entry=$XDG_CONFIG_HOME/autostart/tolvex.desktop
for _ in $(seq 50); do [ -f "$entry" ] && break; sleep 0.1; done
exec_line=$(sed -n 's/^Exec=//p' "$entry" 2>/dev/null) || true
[ -n "$exec_line" ] || fail "no Exec line in $entry"
kill "${pids[@]}" && wait
pids=()

# The session starts the entry's command as it stands: the program's path and its option.
read -r -a command <<<"$exec_line"
[ -x "${command[0]}" ] || fail "Exec=$exec_line names no program"
[ "${command[*]:1}" = --at-login ] || fail "Exec=$exec_line does not start it for a login"
"${command[@]}" >/dev/null 2>&1 &
pids+=($!)
answers || fail "Exec=$exec_line started no copy that answers --status"
echo "package.autostart: PASS (Exec=$exec_line)"
