#!/usr/bin/env bash
# Usage: check-service-unit.sh UNIT_FILE FULL_BINDIR SERVER_BINARY
set -euo pipefail
export LC_ALL=C.UTF-8
unit="$1"
bindir="$2"
server="$3"
status=0

fail() {
    echo "FAIL: $*" >&2
    status=1
}

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

exec_start="$(sed -n 's/^ExecStart=//p' "$unit")"
read -r -a command <<<"$exec_start"
[ "${command[0]}" = "$bindir/vesmira-server" ] || fail "ExecStart runs '${command[0]}', not $bindir/vesmira-server"

# The server reads its options in order and stops at --version: an option it does not accept fails before that.
"$server" "${command[@]:1}" --version >/dev/null || fail "the server refuses the options of ExecStart: $exec_start"

state_dir="$(sed -n 's/^StateDirectory=//p' "$unit")"
[ -n "$state_dir" ] || fail "no StateDirectory"
[[ "$exec_start" == *" --db /var/lib/$state_dir/"* ]] ||
    fail "the database is not in the state directory /var/lib/$state_dir: $exec_start"

# verify resolves the unit's dependencies and checks that ExecStart exists, so give it a root holding both.
mkdir -p "$tmp/root/$bindir" "$tmp/root/usr/lib/systemd"
cp "$server" "$tmp/root/$bindir/vesmira-server"
if [ -d /usr/lib/systemd/system ]; then
    cp -a /usr/lib/systemd/system "$tmp/root/usr/lib/systemd/"
else
    cp -a /lib/systemd/system "$tmp/root/usr/lib/systemd/"
fi
cp "$unit" "$tmp/root/usr/lib/systemd/system/vesmira-server.service"
report="$(systemd-analyze verify --man=no --generators=no --root="$tmp/root" vesmira-server.service 2>&1)" ||
    fail "systemd-analyze verify failed"
# Unknown or misspelt settings are only warned about, and then ignored.
[ -z "$report" ] || fail "systemd-analyze verify: $report"

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
