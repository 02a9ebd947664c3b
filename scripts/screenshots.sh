#!/usr/bin/env bash
# Takes the README's screenshots of the real program under Xvfb with openbox as the window manager, frames and title
# bars included: the registration dialog, the main window signed in with a few relayed lines, the box that refuses
# a line CP932 cannot carry, and the rule editor. Usage: screenshots.sh [BUILD_DIR]   (writes into docs/)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
work="$(mktemp -d)"
server="$build/server/vesmira-server"
. "$root/scripts/xsession.sh"
trap 'stop_session; rm -rf "$work"' EXIT
start_x
openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1
start_server

mkdir "$work/home"
printf '\x82\xC5\x82\xB7\r\n\x82\xC5\x82\xA0\x82\xE9\r\n\x82\xA0\x82\xE8\x82\xAA\x82\xC6\x82\xA4\r\n\x82\xA0\x82\xE8\x82\xAA\x82\xC6\x82\xA4\x82\xB2\x82\xB4\x82\xA2\x82\xDC\x82\xB7\r\n' >"$work/home/omake.txt"
client="$build/app/vesmira"
start_client

# The window with its frame, as the desktop shows it: the frame cut from the screen by its extents, the window's own
# contents read from the window (a dialog opened inside a blocking call may not have reached the screen's image).
shot() {
    local id="$1" file="$2" x y w h left right top bottom
    sleep 1
    eval "$(xwininfo -id "$id" | awk '/Absolute upper-left X/ {print "x=" $4} /Absolute upper-left Y/ {print "y=" $4}
                                       /Width:/ {print "w=" $2} /Height:/ {print "h=" $2}')"
    read -r left right top bottom < <(xprop -id "$id" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
    xwd -root -silent | convert xwd:- -crop "$((w + left + right))x$((h + top + bottom))+$((x - left))+$((y - top))" \
        +repage "$work/frame.png"
    xwd -id "$id" -silent | convert xwd:- "$work/inside.png"
    convert "$work/frame.png" "$work/inside.png" -geometry "+$left+$top" -composite "$root/docs/$file"
    echo "docs/$file"
}

register_as sakura himitsu
shot "$(window "新規ユーザー登録")" screenshot-register.png
keys Return
main="$(activate "クライアント:通信中")"

# A second user says hello through the server, and stays until the picture is taken.
python3 - "$port" <<'PY' &
import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])))
s.recv(16)
for message in (b"ENTRY\0", b"hiro", b"pw"):
    s.send(message); s.recv(256)
for line in ("hiro：こんにちは、さくらさん", "hiro：今日はいい天気ですね"):
    s.send(line.encode("cp932").ljust(500, b"\0")); time.sleep(0.3)
time.sleep(30)
PY
peer=$!
sleep 1.5
keys Tab Tab Tab Tab
paste_text "こんにちは、ひろさん"
keys Return
sleep 0.8
shot "$main" screenshot-main.png
kill "$peer" 2>/dev/null || true

# A character CP932 has no code for is named, and the line stays.
paste_text "caféに行こう"
keys Return
shot "$(activate "申し訳ありませんが…")" screenshot-refusal.png
keys Return
activate "クライアント:通信中" >/dev/null

# The rule editor opens from 編集, which has no tab stop: click it.
eval "$(xdotool getwindowgeometry --shell "$main")"
bx=$((X + 276 * WIDTH / 310 + 15)); by=$((Y + 147 * HEIGHT / 251 + 15))
xdotool mousemove "$bx" "$by" click 1
shot "$(window "おまけエディット")" screenshot-editor.png
