#!/usr/bin/env bash
# Takes the README's screenshots of the real program under Xvfb: the registration dialog, the main window signed
# in with a few relayed lines, and the rule editor. Usage: screenshots.sh [BUILD_DIR]   (writes into docs/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
work="$(mktemp -d)"
server="$build/server/vesmira-server"
. "$root/scripts/xsession.sh"
trap 'stop_session; rm -rf "$work"' EXIT
start_x
start_server

mkdir "$work/home"
printf '\x82\xC5\x82\xB7\r\n\x82\xC5\x82\xA0\x82\xE9\r\n\x82\xA0\x82\xE8\x82\xAA\x82\xC6\x82\xA4\r\n\x82\xA0\x82\xE8\x82\xAA\x82\xC6\x82\xA4\x82\xB2\x82\xB4\x82\xA2\x82\xDC\x82\xB7\r\n' >"$work/home/omake.txt"
client="$build/app/vesmira"
start_client

shot() {
    local id="$1" file="$2"
    sleep 1
    xwd -id "$id" -silent | convert xwd:- "$root/docs/$file"
    echo "docs/$file"
}
register_as sakura himitsu
shot "$(window "新規ユーザー登録")" screenshot-register.png
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
