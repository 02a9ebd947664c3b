#!/usr/bin/env bash
# Takes the README's screenshots of the real program under Xvfb: the registration dialog, the main window signed
# in with a few relayed lines, and the rule editor. Usage: screenshots.sh [BUILD_DIR]   (writes into docs/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
export LC_ALL=C.UTF-8
work="$(mktemp -d)"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

export DISPLAY=":$((100 + $$ % 400))"
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do xdotool getdisplaygeometry >/dev/null 2>&1 && break; sleep 0.1; done
"$build/server/vesmira-server" --listen 127.0.0.1 --port 0 --hash-cost min --db "$work/users.sqlite3" \
    >"$work/server.out" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do port="$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$work/server.out")"; [ -n "$port" ] && break; sleep 0.1; done

mkdir "$work/home" && cd "$work/home"
printf '\x82\xC5\x82\xB7\r\n\x82\xC5\x82\xA0\x82\xE9\r\n\x82\xA0\x82\xE8\x82\xAA\x82\xC6\x82\xA4\r\n\x82\xA0\x82\xE8\x82\xAA\x82\xC6\x82\xA4\x82\xB2\x82\xB4\x82\xA2\x82\xDC\x82\xB7\r\n' >omake.txt
QT_QPA_PLATFORM=xcb "$build/app/vesmira" >/dev/null 2>&1 &
pids+=($!)

window() {
    local id=""
    for _ in $(seq 150); do
        id="$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -n 1 || true)"
        [ -n "$id" ] && break
        sleep 0.1
    done
    [ -n "$id" ] || { echo "no window \"$1\"" >&2; exit 1; }
    xdotool windowfocus "$id"
    sleep 0.4
    echo "$id"
}
shot() {
    local id="$1" file="$2"
    sleep 1
    xwd -id "$id" -silent | convert xwd:- "$root/docs/$file"
    echo "docs/$file"
}
keys() { xdotool key --delay 60 "$@"; }
type_text() { xdotool type --delay 30 "$1"; }

window "新規ユーザー作成" >/dev/null; keys Return
window "Vesmira クライアントアプリケーション" >/dev/null
keys ctrl+a; type_text "127.0.0.1"; keys Tab ctrl+a; type_text "$port"; keys Return
id="$(window "新規ユーザー登録")"
type_text "sakura"; keys Tab; type_text "himitsu"
shot "$id" screenshot-register.png
keys Return
main="$(window "クライアント:通信中")"

# A second user says hello through the server.
python3 - "$port" <<'PY'
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.recv(16)
for message in (b"ENTRY\0", b"hiro", b"pw"):
    s.send(message); s.recv(256)
for line in ("hiro：こんにちは、さくらさん", "hiro：今日はいい天気ですね"):
    s.send(line.encode("cp932").ljust(500, b"\0")); time.sleep(0.3)
time.sleep(0.5)
PY
keys Tab Tab Tab Tab
type_text "こんにちは、ひろさん"
keys Return
sleep 0.8
shot "$main" screenshot-main.png

# The rule editor opens from 編集, which has no tab stop: click it.
eval "$(xdotool getwindowgeometry --shell "$main")"
bx=$((X + 276 * 543 / 310 + 15)); by=$((Y + 147 * 408 / 251 + 15))
xdotool mousemove "$bx" "$by" click 1
id="$(window "おまけエディット")"
shot "$id" screenshot-editor.png
