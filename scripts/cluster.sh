#!/usr/bin/env bash
# A Vesmira cluster on this machine: Redis (the room) and PostgreSQL (the users) on ports of their own, three
# vesmira-server nodes, and HAProxy in front of them on port 3000 and, over TLS, on port 3443, as docs/cluster.md
# describes for several machines. Data, logs and the TLS certificate (self-signed, made on the first `up`) stay in
# the state folder between runs.
#   cluster.sh up      build the server if needed and start whatever is not running yet
#   cluster.sh down    stop what `up` started (nothing else), keeping the data
#   cluster.sh status  what runs, on which port
# Environment: VESMIRA_CLUSTER_STATE (default build-cluster/state), VESMIRA_CLUSTER_PORT (default 3000),
# VESMIRA_CLUSTER_TLS_PORT (3443), VESMIRA_CLUSTER_REDIS_PORT (6390), VESMIRA_CLUSTER_POSTGRES_PORT (5442),
# VESMIRA_CLUSTER_NODE_PORTS ("3001 3002 3003"), VESMIRA_NODE_OPTIONS (more options for every node, as in
# "--max-per-address 100"), VESMIRA_SERVER (a vesmira-server to run instead of building one).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$root/build-cluster"
state="${VESMIRA_CLUSTER_STATE:-$build_dir/state}"
front_port="${VESMIRA_CLUSTER_PORT:-3000}"
tls_port="${VESMIRA_CLUSTER_TLS_PORT:-3443}"
redis_port="${VESMIRA_CLUSTER_REDIS_PORT:-6390}"
postgres_port="${VESMIRA_CLUSTER_POSTGRES_PORT:-5442}"
read -r -a node_ports <<<"${VESMIRA_CLUSTER_NODE_PORTS:-3001 3002 3003}"
server="${VESMIRA_SERVER:-$build_dir/server/vesmira-server}"
database="postgresql://postgres@127.0.0.1:$postgres_port/vesmira"

usage() {
    echo "usage: $0 up|down|status" >&2
    exit 2
}

# PostgreSQL refuses to run as root: as root, its programs run as the postgres user.
as_postgres() {
    if [ "$(id -u)" -eq 0 ]; then
        runuser -u postgres -- "$@"
    else
        "$@"
    fi
}

postgres_bin() {
    local bin
    bin="$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)"
    [ -x "$bin/postgres" ] || {
        echo "cluster: PostgreSQL is not installed; run scripts/install-deps.sh" >&2
        exit 1
    }
    echo "$bin"
}

# A process of ours is alive when its pid file names a living process.
alive() {
    local pid_file="$1"
    [ -s "$pid_file" ] && kill -0 "$(cat "$pid_file")" 2>/dev/null
}

wait_for() {
    local what="$1" tries="$2"
    shift 2
    for _ in $(seq "$tries"); do
        if "$@" >/dev/null 2>&1; then
            return 0
        fi
        sleep 0.1
    done
    echo "cluster: $what did not come up" >&2
    return 1
}

listening() {
    ss -ltnH "sport = :$1" | grep -q LISTEN
}

start_redis() {
    if alive "$state/redis.pid"; then
        echo "redis:      running (pid $(cat "$state/redis.pid")), port $redis_port"
        return
    fi
    mkdir -p "$state/redis"
    # The append-only file keeps the room's recent lines across a restart of Redis.
    redis-server --port "$redis_port" --bind 127.0.0.1 --dir "$state/redis" --appendonly yes \
        --daemonize yes --pidfile "$state/redis.pid" --logfile "$state/redis.log"
    wait_for "Redis" 100 redis-cli -p "$redis_port" ping
    echo "redis:      started (pid $(cat "$state/redis.pid")), port $redis_port"
}

start_postgres() {
    local bin data="$state/postgres/data"
    bin="$(postgres_bin)"
    if [ ! -d "$data" ]; then
        mkdir -p "$state/postgres"
        if [ "$(id -u)" -eq 0 ]; then
            chown postgres: "$state/postgres"
            as_postgres test -x "$state/postgres" || {
                echo "cluster: the postgres user cannot reach $state; set VESMIRA_CLUSTER_STATE to a folder" \
                    "inside folders others may enter" >&2
                exit 1
            }
        fi
        as_postgres "$bin/initdb" -D "$data" -U postgres --auth=trust -E UTF8 --no-locale >"$state/initdb.log"
    fi
    if as_postgres "$bin/pg_ctl" -D "$data" status >/dev/null 2>&1; then
        echo "postgresql: running, port $postgres_port"
    else
        as_postgres "$bin/pg_ctl" -D "$data" -l "$state/postgres/postgres.log" -w -o \
            "-p $postgres_port -c listen_addresses=127.0.0.1 -c unix_socket_directories=$state/postgres" \
            start >/dev/null
        echo "postgresql: started, port $postgres_port"
    fi
    if ! psql "postgresql://postgres@127.0.0.1:$postgres_port/postgres" -tAc \
        "SELECT 1 FROM pg_database WHERE datname = 'vesmira'" | grep -q 1; then
        psql "postgresql://postgres@127.0.0.1:$postgres_port/postgres" -qc "CREATE DATABASE vesmira"
    fi
}

start_node() {
    local n="$1" port="${node_ports[$(($1 - 1))]}"
    local pid_file="$state/node$n.pid" log="$state/node$n.log"
    if alive "$pid_file"; then
        echo "node $n:     running (pid $(cat "$pid_file")), port $port"
        return
    fi
    local extra=()
    read -r -a extra <<<"${VESMIRA_NODE_OPTIONS:-}"
    setsid "$server" --listen 127.0.0.1 --port "$port" --db "$database" --relay "redis://127.0.0.1:$redis_port" \
        --proxy-protocol "${extra[@]}" >>"$log" 2>&1 </dev/null &
    echo $! >"$pid_file"
    wait_for "node $n (see $log)" 100 listening "$port"
    echo "node $n:     started (pid $(cat "$pid_file")), port $port"
}

# HAProxy's certificate: made once with the server's tls-init, kept in the state folder with its key beside it.
make_certificate() {
    local tls="$state/tls"
    if [ ! -s "$tls/haproxy.pem" ]; then
        mkdir -p "$tls"
        chmod 700 "$tls"
        "$server" tls-init --cert "$tls/cert.pem" --key "$tls/key.pem" --if-missing >/dev/null
        (umask 077 && cat "$tls/cert.pem" "$tls/key.pem" >"$tls/haproxy.pem")
    fi
    echo "tls:        certificate $tls/cert.pem, SHA-256 fingerprint" \
        "$(openssl x509 -in "$tls/cert.pem" -noout -fingerprint -sha256 | cut -d= -f2)"
}

start_haproxy() {
    if alive "$state/haproxy.pid"; then
        echo "haproxy:    running (pid $(cat "$state/haproxy.pid")), port $front_port, TLS port $tls_port"
        return
    fi
    # The shipped configuration, with this machine's nodes, no syslog, and as many connections as descriptors allow.
    local hard maxconn
    hard="$(ulimit -Hn)"
    [ "$hard" = unlimited ] && hard=1048576
    maxconn=$(((hard - 100) / 2))
    [ "$maxconn" -gt 60000 ] && maxconn=60000
    sed -e "/^    # nodes$/q" -e "s/^    bind :3000$/    bind :$front_port/" -e "/log/d" \
        -e "s|^    bind :3443 ssl crt /etc/haproxy/vesmira.pem$|    bind :$tls_port ssl crt $state/tls/haproxy.pem|" \
        -e "s/^    maxconn 60000$/    maxconn $maxconn/" "$root/packaging/haproxy.cfg" >"$state/haproxy.cfg"
    for n in 1 2 3; do
        echo "    server node$n 127.0.0.1:${node_ports[$((n - 1))]}" >>"$state/haproxy.cfg"
    done
    haproxy -D -f "$state/haproxy.cfg" -p "$state/haproxy.pid" >>"$state/haproxy.log" 2>&1
    wait_for "HAProxy (see $state/haproxy.log)" 100 listening "$front_port"
    wait_for "HAProxy's TLS port (see $state/haproxy.log)" 100 listening "$tls_port"
    echo "haproxy:    started (pid $(cat "$state/haproxy.pid")), port $front_port, TLS port $tls_port"
}

stop_pid() {
    local name="$1" pid_file="$2"
    if alive "$pid_file"; then
        local pid
        pid="$(cat "$pid_file")"
        kill -TERM "$pid"
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        echo "$name stopped"
    fi
    rm -f "$pid_file"
}

up() {
    "$root/scripts/install-deps.sh"
    if [ -z "${VESMIRA_SERVER:-}" ] &&
        { [ ! -x "$server" ] || [ -n "$(find "$root/server" -newer "$server" -type f | head -n 1)" ]; }; then
        cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESMIRA_BUILD_CLIENT=OFF \
            -DVESMIRA_BUILD_TESTS=OFF >/dev/null
        cmake --build "$build_dir" -j 2 --target vesmira-server
    fi
    mkdir -p "$state"
    start_redis
    start_postgres
    for n in 1 2 3; do
        start_node "$n"
    done
    make_certificate
    start_haproxy
    echo "room on port $front_port, and over TLS on port $tls_port: connect clients to this machine's address" \
        "(127.0.0.1 here); with TLS, they compare the fingerprint above"
}

down() {
    stop_pid "haproxy" "$state/haproxy.pid"
    for n in 1 2 3; do
        stop_pid "node $n" "$state/node$n.pid"
    done
    local data="$state/postgres/data"
    if [ -d "$data" ] && as_postgres "$(postgres_bin)/pg_ctl" -D "$data" status >/dev/null 2>&1; then
        as_postgres "$(postgres_bin)/pg_ctl" -D "$data" -m fast -w stop >/dev/null
        echo "postgresql stopped"
    fi
    stop_pid "redis" "$state/redis.pid"
}

status() {
    local all=0
    show() {
        if alive "$2"; then
            echo "$1 running (pid $(cat "$2")), port $3"
        else
            echo "$1 stopped"
            all=1
        fi
    }
    show "redis:     " "$state/redis.pid" "$redis_port"
    if [ -s "$state/postgres/data/postmaster.pid" ] && kill -0 "$(head -n 1 "$state/postgres/data/postmaster.pid")" 2>/dev/null; then
        echo "postgresql: running (pid $(head -n 1 "$state/postgres/data/postmaster.pid")), port $postgres_port"
    else
        echo "postgresql: stopped"
        all=1
    fi
    for n in 1 2 3; do
        show "node $n:    " "$state/node$n.pid" "${node_ports[$((n - 1))]}"
    done
    show "haproxy:   " "$state/haproxy.pid" "$front_port, TLS port $tls_port"
    echo "state:      $state"
    return "$all"
}

[ $# -eq 1 ] || usage
case "$1" in
up) up ;;
down) down ;;
status) status ;;
*) usage ;;
esac
