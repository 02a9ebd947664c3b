# Sourced, not run. listening_port FILE [PID] [WORD] prints the port of the "WORD on ADDRESS:PORT" line (WORD is
# "listening" unless given: the server writes "tls on" for its TLS port) that a server or peer started with port 0
# writes to FILE; it waits up to 10 s, and fails sooner when process PID has ended.
listening_port() {
    local port
    for _ in $(seq 100); do
        port="$(sed -n "s/^${3:-listening} on .*:\([0-9]*\)\$/\1/p" "$1" | head -n 1)"
        if [ -n "$port" ]; then
            echo "$port"
            return 0
        fi
        [ -z "${2:-}" ] || kill -0 "$2" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}
