#!/usr/bin/env bash
# The real client over TLS in an X server, with the packets on the TLS port captured: the first connection asks
# about the certificate by its fingerprint; trusted always, the client registers and chats with a plain user, and
# nothing it says crosses the wire readable; the server's new certificate then gets a warning and no connection.
# Usage: tls-under-x.sh CLIENT SERVER [SHOTS_FOLDER]. Exits 77 (skipped) when packets cannot be captured.
set -euo pipefail
client="$1"
server="$2"
shots="${3:-}"
work="$(mktemp -d)"
. "$(dirname "$0")/../../scripts/xsession.sh"
trap 'stop_session; rm -rf "$work"' EXIT
shot() { [ -z "$shots" ] || xwd -id "$1" -silent | convert xwd:- "$shots/$2"; }
fail() { echo "FAIL: $*" >&2; exit 1; }

# The server on a TLS port that a restart can take again, with a certificate made by the server's own tls-init.
"$server" tls-init --cert "$work/a.pem" --key "$work/a-key.pem" --name localhost >"$work/a.txt"
"$server" tls-init --cert "$work/b.pem" --key "$work/b-key.pem" --name localhost >"$work/b.txt"
fingerprint() { sed -n 's/^SHA-256 fingerprint: //p' "$1"; }
serve() {
    "$server" --listen 127.0.0.1 --port "$1" --tls-port "$2" --tls-cert "$work/$3.pem" --tls-key "$work/$3-key.pem" \
        --hash-cost min --db "$work/users.sqlite3" >"$work/server.out" 2>>"$work/server.log" &
    server_pid=$!
    pids+=($server_pid)
    port="$(listening_port "$work/server.out" "$server_pid")" || fail "the server did not start"
    tls_port="$(listening_port "$work/server.out" "$server_pid" tls)" || fail "no TLS port"
}
serve 0 0 a
tcpdump -i lo -U -w "$work/capture.pcap" "tcp port $tls_port" 2>"$work/tcpdump.log" &
capture_pid=$!
pids+=($capture_pid)
sleep 1
kill -0 "$capture_pid" 2>/dev/null || { echo "skipped: cannot capture packets: $(cat "$work/tcpdump.log")"; exit 77; }

start_x
start_client
window "新規ユーザー作成" >/dev/null
keys Return
main="$(window "Vesmira クライアントアプリケーション")"
# Address, port, then Shift+Tab twice to the TLS box (last in the tab order), ticked with Space; Enter connects.
keys ctrl+a; type_text "127.0.0.1"; keys Tab ctrl+a; type_text "$tls_port"; keys shift+Tab shift+Tab space Return
question="$(window "サーバー証明書の確認")"
shot "$question" tls-question.png
a="$(fingerprint "$work/a.txt")"
xdotool getwindowname "$question" >/dev/null
keys alt+a
window "新規ユーザー登録" >/dev/null
type_text "sakura"; keys Tab; type_text "himitsu-pw"; keys Return
window "クライアント:通信中" >/dev/null
grep -q "^127.0.0.1 $tls_port tls $a" TlsServers.txt || fail "the trusted certificate was not stored: $(cat TlsServers.txt)"

# A plain user on the plain port; the TLS user's line reaches it byte for byte, and its line comes back.
python3 - "$port" >"$work/plain.txt" <<'PY' &
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
s.recv(16)
for message in (b"ENTRY\0", b"hiro", b"pw"):
    s.send(message); s.recv(256)
data = b""
while len(data) < 500:
    data += s.recv(500 - len(data))
print(data.rstrip(b"\0").decode("cp932"))
s.send("hiro：合言葉を受け取りました".encode("cp932").ljust(500, b"\0"))
s.recv(500)
PY
plain_pid=$!
sleep 1
eval "$(xdotool getwindowgeometry --shell "$main")"
xdotool mousemove $((X + 50)) $((Y + 225 * 408 / 251)) click 1
paste_text "合言葉は開けゴマ sesame-4711"; keys Return
wait "$plain_pid" || fail "the plain user did not get the line"
[ "$(cat "$work/plain.txt")" = "sakura：合言葉は開けゴマ sesame-4711" ] || fail "the plain user got: $(cat "$work/plain.txt")"
sleep 1
shot "$main" tls-chat.png

# What crossed the TLS port: handshakes and records, none of the words.
kill "$capture_pid"
wait "$capture_pid" 2>/dev/null || true
python3 - "$work/capture.pcap" <<'PY' || fail "readable text on the TLS port"
import sys
data = open(sys.argv[1], "rb").read()
assert len(data) > 2000, len(data)
for words in ("合言葉", "開けゴマ", "sesame-4711", "himitsu-pw", "sakura", "Hello", "ENTRY", "受け取りました"):
    for encoding in ("cp932", "utf-8"):
        assert words.encode(encoding) not in data, words
print(f"{len(data)} bytes captured on the TLS port, no text of the chat among them")
PY

# The server comes back with another certificate: a warning naming both, and no connection.
kill "$server_pid"
window "通信エラー" >/dev/null
keys Return
serve "$port" "$tls_port" b
xdotool mousemove $((X + 201 * 543 / 310 + 20)) $((Y + 188 * 408 / 251 + 15)) click 1
warning="$(window "証明書の警告")"
shot "$warning" tls-warning.png
keys Return
window "クライアント:接続失敗" >/dev/null
grep -q "^127.0.0.1 $tls_port tls $a" TlsServers.txt || fail "the old certificate was forgotten"
[ "$(grep -c "signed in as" "$work/server.log")" = 2 ] || fail "a sign-in after the warning: $(cat "$work/server.log")"
echo "TLS under X passed: asked, trusted, chatted unreadably on the wire, warned of the new certificate"
