#!/usr/bin/env bash
# A chat line that arrives while another program's window is active marks the client's window with the urgency
# hint (WM_HINTS, read with xprop, so no window manager is needed), the hint goes when the client is active again,
# and no other window opens. Usage: attention.sh CLIENT SERVER
set -euo pipefail
client="$1"
server="$2"
work="$(mktemp -d)"
. "$(dirname "$0")/../../scripts/xsession.sh"
trap 'exec 3>&- 2>/dev/null || true; stop_session; rm -rf "$work"' EXIT
start_x
start_server

start_client
register_as taro secret
keys Return
main="$(window "クライアント:通信中")"

# xprop shows the urgency flag as its own line of WM_HINTS.
urgent() { xprop -id "$main" WM_HINTS | grep -q "urgency hint bit is set"; }
wait_until() {
    for _ in $(seq 50); do "$@" && return 0; sleep 0.1; done
    return 1
}
not() { ! "$@"; }

xlogo -geometry 200x200+600+300 2>/dev/null &
pids+=($!)
window "xlogo" >/dev/null
sleep 0.5
urgent && { echo "urgency hint set before any line"; exit 1; }

# A second user signs up and says one line; the sign-in steps wait for each "ok".
exec 3<>"/dev/tcp/127.0.0.1/$port"
reply() { dd bs=256 count=1 status=none <&3 | tr -d '\0'; }
[ "$(reply)" = Hello ] || { echo "no greeting"; exit 1; }
for message in 'ENTRY\0' hiro pw; do
    printf "$message" >&3
    [ "$(reply)" = ok ] || { echo "sign-in step refused"; exit 1; }
done
{ printf 'hiro\x81\x46hello'; head -c 491 /dev/zero; } >&3

wait_until urgent || { echo "no urgency hint after a line arrived"; xprop -id "$main" WM_HINTS; exit 1; }
[ "$(xdotool search --onlyvisible --pid "$client_pid" | wc -l)" = 1 ] || { echo "another window opened"; exit 1; }

# Back in front, the hint goes.
xdotool windowfocus --sync "$main"
wait_until not urgent || { echo "urgency hint still set after activation"; exit 1; }
echo "attention test passed: hint set by a line while another window was active, cleared on activation"
