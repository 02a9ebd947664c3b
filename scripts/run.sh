#!/usr/bin/env bash
# Builds Vesmira, starts a local vesmira-server on port 3000 unless one already listens there, and opens the
# client. The client keeps its files (EntryData.txt, omake.txt) in its working folder, ~/.local/share/vesmira.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo

data_dir="${XDG_DATA_HOME:-$HOME/.local/share}/vesmira"
state_dir="${XDG_STATE_HOME:-$HOME/.local/state}/vesmira"
mkdir -p "$data_dir" "$state_dir"

server_pid=""
if (exec 3<>/dev/tcp/127.0.0.1/3000) 2>/dev/null; then
    echo "A server already listens on port 3000; using it."
else
    "$root/build/server/vesmira-server" --port 3000 >>"$state_dir/server.log" 2>&1 &
    server_pid=$!
    trap '[ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true' EXIT
    for _ in $(seq 50); do
        (exec 3<>/dev/tcp/127.0.0.1/3000) 2>/dev/null && break
        sleep 0.1
    done
    echo "Started vesmira-server on port 3000 (log: $state_dir/server.log)."
fi

cd "$data_dir"
"$root/build/app/vesmira"
