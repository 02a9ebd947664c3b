#!/usr/bin/env bash
# Runs the real client in an X server as a user would: answers the register hint, types the server's port, presses
# Connect, registers, sends a line, saves the conversation (so the line's return can be checked) and exits with Yes.
# Usage: smoke.sh CLIENT SERVER. Fails at once when a tool that scripts/install-deps.sh installs is missing.
set -euo pipefail
client="$1"
server="$2"
for tool in Xvfb xdotool; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed: run scripts/install-deps.sh" >&2; exit 1; }
done

work="$(mktemp -d)"
. "$(dirname "$0")/../../scripts/xsession.sh"
trap 'stop_session; rm -rf "$work"' EXIT
start_x
start_server

start_client

register_as smoke secret
keys Return
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
