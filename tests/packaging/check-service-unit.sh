#!/usr/bin/env bash
# Usage: check-service-unit.sh UNIT_FILE FULL_BINDIR SERVER_BINARY
set -euo pipefail
export LC_ALL=C.UTF-8
unit="$1"
bindir="$2"
server="$3"
. "$(dirname "$0")/checks.sh"

exec_start="$(sed -n 's/^ExecStart=//p' "$unit")"
check_exec_start "$exec_start"

state_dir="$(sed -n 's/^StateDirectory=//p' "$unit")"
[ -n "$state_dir" ] || fail "no StateDirectory"
[[ "$exec_start" == *" --db /var/lib/$state_dir/"* ]] ||
    fail "the database is not in the state directory /var/lib/$state_dir: $exec_start"

verify_unit "$unit" vesmira-server.service vesmira-server.service

# Every protection systemd-analyze knows of must hold, except these, which a network server accessed from anywhere
# on its LAN cannot have (or, for the clock device, which ProtectClock itself allows).
accepted_exposures="DeviceAllow=
IPAddressDeny=
PrivateNetwork=
RestrictAddressFamilies=~AF_(INET|INET6)
RestrictAddressFamilies=~AF_UNIX
RootDirectory=/RootImage="
systemd-analyze security --offline=yes "$unit" >"$tmp/security.txt" 2>&1 || {
    cat "$tmp/security.txt" >&2
    fail "systemd-analyze security failed"
}
exposures="$(sed -n 's/^✗ \([^ ]*\) .*/\1/p' "$tmp/security.txt" | sort)"
if [ "$exposures" != "$(sort <<<"$accepted_exposures")" ]; then
    fail "the unit's exposures differ from the accepted ones (< accepted, > found):"
    diff <(sort <<<"$accepted_exposures") <(echo "$exposures") >&2 || true
fi

exit "$status"
