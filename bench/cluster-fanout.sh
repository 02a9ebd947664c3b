#!/usr/bin/env bash
# The same room on one node and on a cluster of three behind HAProxy (scripts/cluster.sh), measured with the load
# tool's fan-out scenario: the same members, the same senders, every delivery checked in order and byte for byte.
# Reports deliveries/s, latency, and the CPU time of each process in the chat phase (per delivery), and what went
# through Redis (each line should be one entry, read once by each node, whatever the room's size).
# Usage: bench/cluster-fanout.sh [vesmira-load fanout option...]   (default --clients=3000 --records=300)
# Needs the ports of scripts/cluster.sh free (3000-3003, 5442, 6390): stop a running cluster first.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/scripts/listening.sh"
build_dir="$root/build-cluster"
work="$(mktemp -d)"
chmod 755 "$work" # PostgreSQL runs as its own user
export VESMIRA_CLUSTER_STATE="$work/cluster"
# Every member comes from 127.0.0.1, through the proxy too.
export VESMIRA_NODE_OPTIONS="--hash-cost min --max-per-address 20000"
load_options=(--scenario=fanout --clients=3000 --records=300 "$@")

single_pid=""
cleanup() {
    [ -n "$single_pid" ] && kill -KILL "$single_pid" 2>/dev/null
    "$root/scripts/cluster.sh" down >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

"$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESMIRA_BUILD_CLIENT=OFF \
    -DVESMIRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j 2 --target vesmira-server
cmake -S "$root/tests/load" -B "$build_dir/load-tool" -G Ninja -DVESMIRA_WERROR=ON >/dev/null
cmake --build "$build_dir/load-tool" -j 2
tool="$build_dir/load-tool/vesmira-load"
hard="$(ulimit -Hn)"
ulimit -Sn "$([ "$hard" = unlimited ] || [ "$hard" -gt 16384 ] && echo 16384 || echo "$hard")"

echo "== $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) before the runs"
echo "== one node, relay in process"
"$build_dir/server/vesmira-server" --listen 127.0.0.1 --port 0 --db "$work/users.sqlite3" --hash-cost min \
    --max-per-address 20000 --log-level warn >"$work/single.out" 2>"$work/single.log" &
single_pid=$!
port="$(listening_port "$work/single.out" "$single_pid")" || {
    echo "the node did not start" >&2
    cat "$work/single.log" >&2
    exit 1
}
"$tool" "${load_options[@]}" --port="$port" --server-pid="$single_pid"
kill -TERM "$single_pid"
wait "$single_pid" || true
single_pid=""

echo "== three nodes behind HAProxy, relay through Redis, users in PostgreSQL"
"$root/scripts/cluster.sh" up | sed 's/^/   /'
state="$VESMIRA_CLUSTER_STATE"
watch="haproxy:$(cat "$state/haproxy.pid"),redis:$(cat "$state/redis.pid")"
for n in 1 2 3; do
    watch="node$n:$(cat "$state/node$n.pid"),$watch"
done
redis_stat() {
    redis-cli -p 6390 INFO all | tr -d '\r' | sed -n "s/^$1//p"
}
redis-cli -p 6390 CONFIG RESETSTAT >/dev/null
entries_before="$(redis-cli -p 6390 XINFO STREAM vesmira:room 2>/dev/null | tr -d '\r' |
    sed -n '/^entries-added$/{n;p}')"
"$tool" "${load_options[@]}" --port=3000 --server-pid="$(cat "$state/node1.pid")" --watch="$watch"
entries_after="$(redis-cli -p 6390 XINFO STREAM vesmira:room | tr -d '\r' | sed -n '/^entries-added$/{n;p}')"
lines=$((entries_after - ${entries_before:-0}))
out_bytes="$(redis_stat total_net_output_bytes:)"
echo "redis:                stream entries added $lines; $(redis_stat 'cmdstat_evalsha:calls=' | cut -d, -f1) appends" \
    "(batches), $(redis_stat 'cmdstat_xread:calls=' | cut -d, -f1) reads; $out_bytes bytes sent," \
    "$((out_bytes / (lines > 0 ? lines : 1))) per line"
grep -h "relay: Redis\|user database" "$state"/node*.log || true
