#!/usr/bin/env bash
# Starts or stops the headless Weston compositor that the Wayland pass of the GUI tests draws on.
# Usage: weston.sh start|stop RUNTIME_DIR SOCKET_NAME. The compositor outlives "start" and is ended by "stop".
set -euo pipefail
action="$1"
runtime="$2"
socket="$3"
pidfile="$runtime/weston.pid"

stop() {
    if [ -f "$pidfile" ]; then
        kill "$(cat "$pidfile")" 2>/dev/null || true
        rm -f "$pidfile"
    fi
}

case "$action" in
start)
    mkdir -p "$runtime"
    chmod 700 "$runtime"
    # A compositor left behind by an interrupted run would hold the socket.
    stop
    rm -f "$runtime/$socket" "$runtime/$socket.lock"
    XDG_RUNTIME_DIR="$runtime" setsid weston --backend=headless-backend.so --socket="$socket" --idle-time=0 \
        --no-config --log="$runtime/weston.log" </dev/null >/dev/null 2>&1 &
    echo $! >"$pidfile"
    for _ in $(seq 100); do
        # The shell's own client is launched last, once the shell offers its globals.
        [ -S "$runtime/$socket" ] && grep -q "launching .*weston-desktop-shell" "$runtime/weston.log" && exit 0
        kill -0 "$(cat "$pidfile")" 2>/dev/null || break
        sleep 0.1
    done
    echo "weston did not start:" >&2
    cat "$runtime/weston.log" >&2 || true
    exit 1
    ;;
stop)
    stop
    ;;
*)
    echo "usage: weston.sh start|stop RUNTIME_DIR SOCKET_NAME" >&2
    exit 2
    ;;
esac
