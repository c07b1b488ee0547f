#!/bin/sh
# Run by with-keyring.sh: the private session must offer an unlocked default collection that
# stores and returns a secret, and must not be the caller's own HOME or bus.
set -eu

fail() { echo "keyring fixture: $*" >&2; exit 1; }

case "$HOME" in
    */tolvex-keyring.*/home) ;;
    *) fail "HOME is not private: $HOME" ;;
esac
[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || fail "no session bus"

locked=$(gdbus call --session --dest org.freedesktop.secrets \
    --object-path /org/freedesktop/secrets/aliases/default \
    --method org.freedesktop.DBus.Properties.Get org.freedesktop.Secret.Collection Locked)
[ "$locked" = "(<false>,)" ] || fail "default collection is locked or missing: $locked"

printf 'секрет' | secret-tool store --label=selftest tolvex-selftest 1
got=$(secret-tool lookup tolvex-selftest 1)
[ "$got" = "секрет" ] || fail "stored secret came back as '$got'"
echo "keyring fixture: ok"
