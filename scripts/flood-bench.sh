#!/usr/bin/env bash
# Floods the real client, in an X server with a window manager, with relayed chat lines and measures how fast it
# takes them, then saves the conversation through the Save button and checks every line against what was sent.
# Usage: flood-bench.sh CLIENT [LINES] [PEER]   (LINES default 100000; PEER default build/bench/vesmira_flood_peer)
# Prints the rate at which the client read the lines, its peak resident memory and the check's result.
# Needs Xvfb and xdotool; uses openbox as the window manager when it is installed (apt-get install openbox).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
client="$(realpath "$1")"
lines="${2:-100000}"
peer="$(realpath "${3:-$root/build/bench/vesmira_flood_peer}")"

work="$(mktemp -d)"
[ -n "${KEEP_WORK:-}" ] && echo "work: $work"
server=/bin/false
. "$root/scripts/xsession.sh"
trap 'stop_session; [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"' EXIT
start_x
if command -v openbox >/dev/null; then
    openbox >/dev/null 2>&1 &
    pids+=($!)
    sleep 1
fi

"$peer" "$lines" "$work/expected.txt" >"$work/peer.out" 2>"$work/peer.log" &
pids+=($!)
port=""
for _ in $(seq 100); do
    port="$(sed -n 's/^port \([0-9]*\)$/\1/p' "$work/peer.out")"
    [ -n "$port" ] && break
    sleep 0.1
done

mkdir "$work/home"
cd "$work/home"
printf 'flood\r\npw\r\n' >EntryData.txt
QT_QPA_PLATFORM=xcb "$client" >"$work/client.log" 2>&1 &
client_pid=$!
pids+=($client_pid)

# With a window manager the window must be activated, not only focused, before it takes keys.
activate() {
    local id
    id="$(window "$1")"
    xdotool windowactivate --sync "$id" 2>/dev/null || true
    sleep 0.3
}
activate "Vesmira クライアントアプリケーション"
keys ctrl+a; type_text "127.0.0.1"; keys Tab ctrl+a; type_text "$port"; keys Return
activate "ユーザー認証"
keys Tab; type_text "pw"; keys Return

for _ in $(seq 3600); do
    grep -q "^read all" "$work/peer.out" && break
    [ -n "${FLOOD_DEBUG:-}" ] && tail -1 "$work/peer.out"
    kill -0 "$client_pid" 2>/dev/null || { echo "the client ended"; cat "$work/client.log"; exit 1; }
    sleep 0.5
done
grep "^read all" "$work/peer.out"
peak="$(sed -n 's/^VmHWM:\s*\([0-9]*\) kB/\1/p' "/proc/$client_pid/status")"
echo "client peak RSS: $((peak / 1024)) MB"

# Save through the window: from the port field (the focus before the dialog) Tab reaches the line to send, and two
# steps back from it is Save.
activate "クライアント:通信中"
keys Tab Tab Tab Tab shift+Tab shift+Tab space
activate "名前を付けて保存|Save|保存"
sleep 0.5
keys ctrl+a; type_text "$work/saved.txt"; keys Return
activate "saved.txt"
keys Return
for _ in $(seq 600); do [ -s "$work/saved.txt" ] && break; sleep 0.1; done
if cmp -s "$work/saved.txt" "$work/expected.txt"; then
    echo "checked: the saved transcript holds all $lines lines as sent"
else
    echo "FAIL: the saved transcript differs from what was sent:"
    echo "  $(grep -c $'\r$' "$work/saved.txt" || true) lines saved, $lines sent"
    cmp "$work/saved.txt" "$work/expected.txt" | head -1 || true
    exit 1
fi
