# Shared by the scripts that drive the real program in an X server: sourced, not run.
# Starts Xvfb, a vesmira-server on loopback and the client, and offers window(), keys(), type_text() and paste_text().
# Needs $work (a temporary folder the caller removes), the server binary as $server and the client's as $client.

. "$(dirname "${BASH_SOURCE[0]}")/listening.sh"

# Window titles are matched as UTF-8.
export LC_ALL=C.UTF-8
pids=()
stop_session() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}

# Xvfb takes the first free display number and writes it back: sessions running side by side (tests in parallel,
# other builds on the machine) never meet on one display. -noreset: by default the server resets when its last
# client leaves (the readiness probe), and a client connecting during that reset is refused.
start_x() {
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        if [ -s "$work/display" ]; then
            export DISPLAY=":$(head -n 1 "$work/display")"
            xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
        fi
        sleep 0.1
    done
    echo "Xvfb did not start" >&2
    return 1
}

# Starts the server on a free loopback port and sets $port.
start_server() {
    "$server" --listen 127.0.0.1 --port 0 --hash-cost min --db "$work/users.sqlite3" \
        >"$work/server.out" 2>"$work/server.log" &
    pids+=($!)
    port="$(listening_port "$work/server.out" "$!")" && return 0
    echo "the server did not start" >&2
    cat "$work/server.log" >&2
    return 1
}

# Starts the client ($client) on X with $work/home, made if needed, as its folder and the shell's; sets $client_pid.
start_client() {
    mkdir -p "$work/home"
    cd "$work/home"
    QT_QPA_PLATFORM=xcb "$client" >"$work/client.log" 2>&1 &
    client_pid=$!
    pids+=($client_pid)
}

# Waits for a visible window whose title matches, focuses it and prints its id.
window() {
    local id=""
    for _ in $(seq 150); do
        id="$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -n 1 || true)"
        [ -n "$id" ] && break
        sleep 0.1
    done
    if [ -z "$id" ]; then
        echo "no window \"$1\"" >&2
        [ -f "$work/client.log" ] && cat "$work/client.log" >&2
        exit 1
    fi
    xdotool windowfocus --sync "$id" 2>/dev/null || xdotool windowfocus "$id"
    sleep 0.3
    echo "$id"
}

# As window(), and activates the window too: under a window manager a window takes keys once it is activated, not
# merely focused. Without one, the activation is refused and focusing is enough.
activate() {
    local id
    id="$(window "$1")"
    xdotool windowactivate --sync "$id" 2>/dev/null || true
    sleep 0.3
    echo "$id"
}

keys() { xdotool key --delay 60 "$@"; }
type_text() { xdotool type --delay 40 "$1"; }
# Text outside the keyboard map (Japanese, accented letters) goes in through the clipboard: xdotool types such a
# character by remapping a spare key for it, and a client busy elsewhere can read that key after the map has moved on,
# which drops or changes the character. xclip serves the text until another takes the clipboard or the session stops.
paste_text() {
    printf '%s' "$1" | xclip -quiet -selection clipboard -in 2>>"$work/xclip.log" &
    pids+=($!)
    sleep 0.2
    keys ctrl+v
}

# Answers the register hint and signs in as a new user through the registration dialog.
register_as() {
    activate "新規ユーザー作成" >/dev/null
    keys Return
    activate "Vesmira クライアントアプリケーション" >/dev/null
    # The address field has the focus: point it at the local server, then Enter presses Connect.
    keys ctrl+a; type_text "127.0.0.1"; keys Tab ctrl+a; type_text "$port"; keys Return
    activate "新規ユーザー登録" >/dev/null
    type_text "$1"; keys Tab; type_text "$2"
}
