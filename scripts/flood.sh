#!/usr/bin/env bash
# Floods the real client, in an X server, with relayed chat lines, then saves the conversation through its Save
# button and checks the saved file line for line against what was relayed.
# Usage: flood.sh [LINES] [--lan]   (default 100000 lines in one burst; --lan: 1,448-byte segments, 2 ms apart)
# Prints the client's reading rate every 10,000 lines and its peak resident memory. Needs a build with
# -DVESMIRA_BUILD_BENCH=ON in build/ (made here when missing). VESMIRA_CLIENT=path runs another build of the client
# against the same peer (to compare two builds in one sitting). Runs openbox as the window manager when it is
# installed (apt-get install openbox), as a desktop would.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
lines="${1:-100000}"
shift || true
build="$root/build"
if [ ! -x "$build/bench/vesmira_flood_peer" ] || [ ! -x "$build/app/vesmira" ]; then
    "$root/scripts/install-deps.sh"
    "$root/scripts/build.sh" "$build" -DVESMIRA_BUILD_BENCH=ON
fi

work="$(mktemp -d)"
server=/bin/false
. "$root/scripts/xsession.sh"
trap 'stop_session; rm -rf "$work"' EXIT
start_x
if command -v openbox >/dev/null; then
    openbox >/dev/null 2>&1 &
    pids+=($!)
    sleep 1
fi
client="${VESMIRA_CLIENT:-$build/app/vesmira}"

"$build/bench/vesmira_flood_peer" --lines "$lines" --expect "$work/expected.txt" "$@" >"$work/peer.out" 2>&1 &
peer_pid=$!
pids+=($peer_pid)
port="$(listening_port "$work/peer.out" "$peer_pid")" || {
    echo "the flood peer did not start" >&2
    cat "$work/peer.out" >&2
    exit 1
}

mkdir "$work/home"
printf 'flood\r\npw\r\n' >"$work/home/EntryData.txt"
start_client
activate "Vesmira クライアントアプリケーション" >/dev/null
keys ctrl+a; type_text "127.0.0.1"; keys Tab ctrl+a; type_text "$port"; keys Return
activate "^ユーザー認証$" >/dev/null
keys Tab; type_text "pw"; keys Return
activate "クライアント:通信中" >/dev/null

while ! grep -q '^done' "$work/peer.out"; do
    kill -0 "$peer_pid" 2>/dev/null || { cat "$work/peer.out" >&2; exit 1; }
    sleep 0.5
done
cat "$work/peer.out"
sleep 1 # past the time a held line waits before it is shown
echo "client peak RSS: $(($(sed -n 's/^VmHWM:[^0-9]*\([0-9]*\).*/\1/p' "/proc/$client_pid/status") / 1024)) MB"

# From the port field (the focus before the dialog), Tab Tab Tab Tab reaches the line to send; Save is two back.
keys Tab Tab Tab Tab shift+Tab shift+Tab space
activate "名前を付けて保存|Save|保存" >/dev/null
sleep 0.5
keys ctrl+a; type_text "$work/log.txt"; keys Return
activate "log.txt" >/dev/null
keys Return

if cmp -s "$work/log.txt" "$work/expected.txt"; then
    echo "saved transcript identical to what was relayed: $lines lines"
else
    tr -d '\r' <"$work/expected.txt" >"$work/expected.lf"
    tr -d '\r' <"$work/log.txt" >"$work/log.lf"
    echo "saved transcript differs from what was relayed:" >&2
    echo "  saved $(wc -l <"$work/log.lf") lines, $(grep -cxFf "$work/expected.lf" "$work/log.lf" || true) of them whole" >&2
    diff "$work/expected.lf" "$work/log.lf" | head -n 10 >&2 || true
    exit 1
fi
