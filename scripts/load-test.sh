#!/usr/bin/env bash
# Runs the real vesmira-server on 127.0.0.1 under one load scenario and checks it (every relayed record in order
# and byte for byte, the server alive and exiting 0 on SIGTERM, plus the scenario's own targets):
#   chat (default)  1,000 clients chat in rounds while other connections send garbage, stay silent, speak one byte
#                   per second, or sign in and never read
#   fanout          10,000 clients, 10 senders as fast as the server relays
#   overload        1,000 clients, one sender offering 20,000 lines a second (20 million deliveries wanted)
#   registrations   50 registrations at once at the default hash cost while two users chat
#   flood           5,000 silent connections from 127.0.0.2 and 2,000 over 200 addresses, while new users sign in
#   stuck           500 signed-in clients that never read while one user chats
#   fanout --tls=1  the same over TLS (the server's TLS port, a self-signed certificate), after 2,000 handshakes
# Usage: load-test.sh [--scenario=NAME] [vesmira-load option...]   e.g. --clients=200 --records=4 for a quick run;
#        vesmira-load --help lists them. Builds in build-load/ (server only, Release).
# VESMIRA_SERVER=PATH runs another server binary; VESMIRA_SERVER_OPTIONS replaces the scenario's server options
# (its limits), for instance to measure an older build that has none of them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/listening.sh"
build_dir="$root/build-load"
jobs="${LOAD_BUILD_JOBS:-2}"

scenario=chat
tls=0
for arg in "$@"; do
    case "$arg" in
    --scenario=*) scenario="${arg#--scenario=}" ;;
    --tls=*) tls="${arg#--tls=}" ;;
    esac
done

# The server's options for each scenario. Clients of the big rooms all come from 127.0.0.1, so the per-address
# limit is lifted there; the flood runs with the defaults, which are what it tests. The chat run closes its
# hostile connections within seconds: silent ones at the dialog time-out, the others at the sign-in time-out. The
# senders of the scenarios that measure the relay send far faster than people type, so flood control is off for
# them.
sign_in_timeout=5
case "$scenario" in
chat)
    options=(--hash-cost min --dialog-timeout "$sign_in_timeout" --sign-in-timeout "$sign_in_timeout"
        --max-per-address 2000)
    ;;
# The big rooms run without presence: the tool reads its members only once the chat begins, and the room's
# sign-ins announced to them meanwhile (50 million lines for 10,000 members) would overflow them before it does.
fanout | overload) options=(--hash-cost min --max-per-address 20000 --line-rate 0 --presence off) ;;
registrations) options=(--hash-cost interactive --line-rate 0) ;;
flood) options=(--hash-cost min --line-rate 0) ;;
stuck) options=(--hash-cost min --max-per-address 1000 --line-rate 0) ;;
*)
    echo "load-test: unknown scenario '$scenario'" >&2
    exit 2
    ;;
esac
if [ -n "${VESMIRA_SERVER_OPTIONS+set}" ]; then
    read -r -a options <<<"$VESMIRA_SERVER_OPTIONS"
fi
tool_options=()
if [ "$scenario" = chat ]; then
    tool_options=(--sign-in-timeout="$sign_in_timeout")
fi

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESMIRA_BUILD_CLIENT=OFF \
    -DVESMIRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs" --target vesmira-server
cmake -S "$root/tests/load" -B "$build_dir/load-tool" -G Ninja -DVESMIRA_WERROR=ON >/dev/null
cmake --build "$build_dir/load-tool" -j "$jobs"
server="${VESMIRA_SERVER:-$build_dir/server/vesmira-server}"
tool="$build_dir/load-tool/vesmira-load"

# Up to 10,000 connections on the tool's side; the server raises its own soft limit to the hard one.
needed_fds=16384
soft="$(ulimit -Sn)"
if [ "$soft" != unlimited ] && [ "$soft" -lt "$needed_fds" ]; then
    hard="$(ulimit -Hn)"
    if [ "$hard" != unlimited ] && [ "$hard" -lt "$needed_fds" ]; then
        needed_fds="$hard"
    fi
    ulimit -Sn "$needed_fds"
fi

work="$(mktemp -d)"
server_pid=""
cleanup() {
    if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
        kill -KILL "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

log="$build_dir/server-$scenario.log"
if [ "$tls" = 1 ]; then
    log="$build_dir/server-$scenario-tls.log"
    "$server" tls-init --cert "$work/cert.pem" --key "$work/key.pem" --name localhost >/dev/null
    options+=(--tls-port 0 --tls-cert "$work/cert.pem" --tls-key "$work/key.pem")
fi
"$server" --listen 127.0.0.1 --port 0 --db "$work/users.sqlite3" --log-level info "${options[@]}" \
    >"$work/stdout" 2>"$log" &
server_pid=$!

if ! port="$(listening_port "$work/stdout" "$server_pid")"; then
    echo "load-test: the server did not start; its log:" >&2
    cat "$log" >&2
    exit 1
fi
if [ "$tls" = 1 ] && ! port="$(listening_port "$work/stdout" "$server_pid" tls)"; then
    echo "load-test: the server did not open its TLS port; its log:" >&2
    cat "$log" >&2
    exit 1
fi

echo "== vesmira-server pid $server_pid on 127.0.0.1:$port; $(nproc) cores, $(free -m | awk '/^Mem:/ {print $2}') MiB"
echo "== server options: ${options[*]}"
status=0
timeout --signal=TERM 400 "$tool" --port="$port" --server-pid="$server_pid" "${tool_options[@]}" "$@" || status=$?

if ! kill -0 "$server_pid" 2>/dev/null; then
    wait "$server_pid" || true
    server_pid=""
    echo "load-test: FAILED: the server died during the run; last lines of $log:" >&2
    tail -n 20 "$log" >&2
    exit 1
fi
peak="$(sed -n 's/^VmHWM:[[:space:]]*//p' "/proc/$server_pid/status")"
kill -TERM "$server_pid"
server_status=0
wait "$server_pid" || server_status=$?
server_pid=""

count() { grep -c -- "$1" "$log" || true; }
echo "== server log ($log)"
echo "signed in:                  $(count ' signed in as ') ($(count '(registered)') registered)"
echo "refused sign-in messages:   $(count 'sign-in refused')"
echo "closed, too many refusals:  $(count 'closed: too many refused sign-in messages')"
echo "closed, sign-in time-out:   $(count 'closed: not signed in within')"
echo "eviction lines (throttled): $(count 'closed: not signed in, and the place was needed')"
echo "dropped, not reading:       $(count 'closed: send queue')"
echo "left with a leave notice:   $(count 'closed: left with a leave notice')"
echo "refusal lines (throttled):  $(count ' refused: \(more than\|connection limit\)')"
echo "errors:                     $(count ' error ')"
grep -h -- 'limits: \|refused or closed by limit' "$log" | sed 's/^[^ ]* [^ ]* [^ ]* /server: /' || true
echo "peak RSS (VmHWM):           $peak"
echo "exit on SIGTERM:            $server_status"

if [ "$server_status" -ne 0 ]; then
    echo "load-test: FAILED: the server exited with $server_status on SIGTERM" >&2
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "load-test: FAILED (vesmira-load exit $status)" >&2
    exit 1
fi
echo "load-test: passed"
