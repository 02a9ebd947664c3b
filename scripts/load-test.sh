#!/usr/bin/env bash
# Runs the real vesmira-server on 127.0.0.1 under hostile load and checks it: 1,000 clients sign in and chat
# while other connections send garbage, stay silent, speak one byte per second, or sign in and never read.
# Every chatting client must receive every record in each sender's order; the server must not crash, must drop
# the clients that never read, and its peak RSS must stay bounded. Stops by itself within about two minutes.
# Usage: load-test.sh [vesmira-load option...]   e.g. --clients=200 --records=4 for a quick run;
#        vesmira-load --help lists them. Builds in build-load/ (server only, Release).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$root/build-load"
jobs="${LOAD_BUILD_JOBS:-2}"
sign_in_timeout=5

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESMIRA_BUILD_CLIENT=OFF \
    -DVESMIRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs" --target vesmira-server
cmake -S "$root/tests/load" -B "$build_dir/load-tool" -G Ninja -DVESMIRA_WERROR=ON >/dev/null
cmake --build "$build_dir/load-tool" -j "$jobs"
server="$build_dir/server/vesmira-server"
tool="$build_dir/load-tool/vesmira-load"

# Over a thousand connections on each side, in one process each.
needed_fds=4096
soft="$(ulimit -Sn)"
if [ "$soft" != unlimited ] && [ "$soft" -lt "$needed_fds" ]; then
    hard="$(ulimit -Hn)"
    if [ "$hard" != unlimited ] && [ "$hard" -lt "$needed_fds" ]; then
        echo "load-test: needs $needed_fds open files, but the hard limit is $hard" >&2
        exit 1
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

log="$build_dir/server.log"
"$server" --listen 127.0.0.1 --port 0 --hash-cost min --db "$work/users.sqlite3" \
    --sign-in-timeout "$sign_in_timeout" --log-level info >"$work/stdout" 2>"$log" &
server_pid=$!

port=""
for _ in $(seq 100); do
    port="$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/stdout")"
    [ -n "$port" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
done
if [ -z "$port" ]; then
    echo "load-test: the server did not start; its log:" >&2
    cat "$log" >&2
    exit 1
fi

echo "== vesmira-server pid $server_pid on 127.0.0.1:$port; $(nproc) cores, $(free -m | awk '/^Mem:/ {print $2}') MiB"
status=0
timeout --signal=TERM 150 "$tool" --port="$port" --server-pid="$server_pid" \
    --sign-in-timeout="$sign_in_timeout" "$@" || status=$?

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
echo "closed, idle before sign-in: $(count 'closed: idle before sign-in')"
echo "dropped, queue overflow:    $(count 'closed: send queue overflow')"
echo "left with a leave notice:   $(count 'closed: left with a leave notice')"
echo "refused at the limit:       $(count 'refused: connection limit reached')"
echo "errors:                     $(count ' error ')"
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
