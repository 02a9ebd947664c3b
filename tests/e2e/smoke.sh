#!/usr/bin/env bash
# Runs the real client in an X server as a user would: answers the register hint, types the server's port, presses
# Connect, registers, sends a line, saves the conversation (so the line's return can be checked) and exits with Yes.
# Usage: smoke.sh CLIENT SERVER. Exits 77 (skipped) when Xvfb or xdotool is missing.
set -euo pipefail
client="$1"
server="$2"
for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

# Window titles are matched as UTF-8.
export LC_ALL=C.UTF-8
work="$(mktemp -d)"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

display=":$((100 + $$ % 400))"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY="$display"
for _ in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done

"$server" --listen 127.0.0.1 --port 0 --hash-cost min --db "$work/users.sqlite3" >"$work/server.out" 2>"$work/server.log" &
pids+=($!)
port=""
for _ in $(seq 100); do
    port="$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/server.out")"
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || { echo "the server did not start"; cat "$work/server.log"; exit 1; }

mkdir "$work/home"
cd "$work/home"
QT_QPA_PLATFORM=xcb "$client" >"$work/client.log" 2>&1 &
client_pid=$!
pids+=($client_pid)

# Waits for a window whose title matches, focuses it and prints its id.
window() {
    local id=""
    for _ in $(seq 150); do
        id="$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -n 1 || true)"
        [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || { echo "no window \"$1\"" >&2; cat "$work/client.log" >&2; exit 1; }
    xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id"
    sleep 0.3
    echo "$id"
}
keys() { xdotool key --delay 60 "$@"; }
type_text() { xdotool type --delay 40 "$1"; }

window "新規ユーザー作成" >/dev/null
keys Return
window "Vesmira クライアントアプリケーション" >/dev/null
# The address field has the focus: point it at the local server, then Enter presses Connect.
keys ctrl+a; type_text "127.0.0.1"; keys Tab ctrl+a; type_text "$port"; keys Return

window "新規ユーザー登録" >/dev/null
type_text "smoke"; keys Tab; type_text "secret"; keys Return
window "クライアント:通信中" >/dev/null
[ "$(cat EntryData.txt | tr -d '\r')" = "$(printf 'smoke\nsecret')" ] || { echo "EntryData.txt not written"; exit 1; }

# From the port field (the focus before the dialog) Tab reaches the line to send; Enter now presses Send.
keys Tab Tab Tab Tab
type_text "hello"; keys Return
sleep 1
# Back from the line field to Save, press it and save at a known path.
keys shift+Tab shift+Tab space
window "名前を付けて保存|Save|保存" >/dev/null || true
sleep 0.5
keys ctrl+a; type_text "$work/log.txt"; keys Return
window "log.txt" >/dev/null
keys Return
expected="$(printf 'smoke\x81\x46hello\r\n')"
[ "$(cat "$work/log.txt")" = "$expected" ] || { echo "saved transcript differs:"; od -c "$work/log.txt"; exit 1; }

# Tab from Save reaches Exit; the question's default answer is Yes.
window "クライアント:通信中" >/dev/null
keys Tab space
window "プログラム終了" >/dev/null
keys Return
for _ in $(seq 50); do kill -0 "$client_pid" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$client_pid" 2>/dev/null; then echo "the client did not end"; exit 1; fi
wait "$client_pid"
echo "smoke test passed: registered, sent, received, saved and exited"
