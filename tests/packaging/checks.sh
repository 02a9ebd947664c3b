# Sourced by the packaging checks, not run. fail() reports one fault and lets the check go on to report the others;
# a check ends with `exit "$status"`. $tmp is a folder removed on exit.
status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# The ExecStart line EXEC_START (its variables filled in) runs $bindir/vesmira-server with options $server accepts:
# the server reads its options in order and stops at --version, so an option it does not accept fails before that.
check_exec_start() {
    local command
    read -r -a command <<<"$1"
    [ "${command[0]}" = "$bindir/vesmira-server" ] || fail "ExecStart runs '${command[0]}', not $bindir/vesmira-server"
    "$server" "${command[@]:1}" --version >/dev/null || fail "the server refuses the options of ExecStart: $1"
}

# systemd-analyze verify of UNIT installed as FILE_NAME, checked as UNIT_NAME, in $tmp/root holding systemd's own
# units and $server at $bindir: verify resolves the unit's dependencies and checks that ExecStart exists. Files the
# unit reads go into $tmp/root before the call. Unknown or misspelt settings are only warned about, then ignored, so
# any output at all fails.
verify_unit() {
    local unit="$1" file_name="$2" unit_name="$3" report
    mkdir -p "$tmp/root/$bindir" "$tmp/root/usr/lib/systemd"
    cp "$server" "$tmp/root/$bindir/vesmira-server"
    # ExecReload's kill (procps) must be found in the root as well.
    mkdir -p "$tmp/root/bin"
    cp /bin/kill "$tmp/root/bin/kill"
    if [ -d /usr/lib/systemd/system ]; then
        cp -a /usr/lib/systemd/system "$tmp/root/usr/lib/systemd/"
    else
        cp -a /lib/systemd/system "$tmp/root/usr/lib/systemd/"
    fi
    cp "$unit" "$tmp/root/usr/lib/systemd/system/$file_name"
    report="$(systemd-analyze verify --man=no --generators=no --root="$tmp/root" "$unit_name" 2>&1)" ||
        fail "systemd-analyze verify failed: $report"
    [ -z "$report" ] || fail "systemd-analyze verify: $report"
}
