#!/usr/bin/env bash
# Usage: check-install.sh BUILD_DIR PREFIX BUILD_CLIENT BINDIR DATADIR MANDIR
# Installs into a temporary root, whole and by component, and compares what lands where with the layout that desktops,
# man and systemd look in.
set -euo pipefail
build_dir="$1"
prefix="$2"
build_client="$3"
bindir="$4"
datadir="$5"
mandir="$6"
# Where systemd looks under both /usr and /usr/local.
unitdir="lib/systemd/system"
app_id="io.github.vesmira.Vesmira"
. "$(dirname "$0")/checks.sh"

client_files=(
    "$bindir/vesmira"
    "$datadir/applications/$app_id.desktop"
    "$datadir/metainfo/$app_id.metainfo.xml"
    "$datadir/icons/hicolor/scalable/apps/$app_id.svg"
)
for size in 16 24 32 48 64 128 256; do
    client_files+=("$datadir/icons/hicolor/${size}x${size}/apps/$app_id.png")
done
client_files+=(
    "$mandir/man1/vesmira.1.gz"
    "$datadir/doc/vesmira/copyright"
    "$datadir/doc/vesmira/changelog.Debian.gz"
)
server_files=(
    "$bindir/vesmira-server"
    "$unitdir/vesmira-server.service"
    "$unitdir/vesmira-server@.service"
    "$datadir/doc/vesmira-server/examples/haproxy.cfg"
    "$datadir/doc/vesmira-server/examples/fail2ban/filter.d/vesmira-server.conf"
    "$datadir/doc/vesmira-server/examples/fail2ban/jail.d/vesmira-server.conf"
    "$mandir/man1/vesmira-server.1.gz"
    "$datadir/doc/vesmira-server/copyright"
    "$datadir/doc/vesmira-server/changelog.Debian.gz"
)

# Lists the files under ROOT's prefix, sorted, as paths relative to the prefix.
installed() {
    (cd "$1$prefix" && find . -type f -o -type l) | sed 's|^\./||' | sort
}
expected() {
    printf '%s\n' "$@" | sort
}
compare() {
    local what="$1" root="$2"
    shift 2
    if ! diff <(expected "$@") <(installed "$root") >"$tmp/diff.txt"; then
        fail "$what installs other files than expected (< missing, > unexpected):"
        cat "$tmp/diff.txt" >&2
    fi
}
install_into() {
    local root="$1"
    shift
    DESTDIR="$root" cmake --install "$build_dir" "$@" >"$tmp/install.log" 2>&1 || {
        cat "$tmp/install.log" >&2
        fail "cmake --install $* failed"
    }
}

# Each package gets exactly its own files, binary included.
install_into "$tmp/server" --component server
compare "the server component" "$tmp/server" "${server_files[@]}"
if [ "$build_client" = 1 ]; then
    install_into "$tmp/client" --component client
    compare "the client component" "$tmp/client" "${client_files[@]}"
fi

root="$tmp/all"
install_into "$root"
if [ "$build_client" = 1 ]; then
    compare "a full install" "$root" "${client_files[@]}" "${server_files[@]}"
else
    compare "a server-only install" "$root" "${server_files[@]}"
fi
p="$root$prefix"

[ -x "$p/$bindir/vesmira-server" ] || fail "vesmira-server is not executable"
exec_start="$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$p/$unitdir/vesmira-server.service")"
[ -x "$root$exec_start" ] || fail "the unit starts $exec_start, which the install does not hold"
pages=(vesmira-server)
[ "$build_client" = 1 ] && pages+=(vesmira)
for page in "${pages[@]}"; do
    gzip -t "$p/$mandir/man1/$page.1.gz" || fail "$page.1.gz is not gzip data"
    grep -q "^NAME" <(man -l "$p/$mandir/man1/$page.1.gz" 2>/dev/null) ||
        fail "man cannot show the installed $page.1.gz"
done

if [ "$build_client" = 1 ]; then
    [ -x "$p/$bindir/vesmira" ] || fail "vesmira is not executable"
    # Checks the metainfo against the installed tree: its launchable desktop entry must be there.
    appstreamcli validate-tree --no-net --strict "$p" >"$tmp/appstream.txt" 2>&1 || {
        cat "$tmp/appstream.txt" >&2
        fail "appstreamcli validate-tree rejected the installed tree"
    }
    if ! report="$(desktop-file-validate "$p/$datadir/applications/$app_id.desktop" 2>&1)" || [ -n "$report" ]; then
        fail "the installed desktop entry: $report"
    fi
    # The PNG header holds width and height as 32-bit big-endian numbers at offsets 16 and 20.
    for size in 16 24 32 48 64 128 256; do
        png="$p/$datadir/icons/hicolor/${size}x${size}/apps/$app_id.png"
        dimensions="$(od -An -tu1 -j16 -N8 "$png" |
            awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 "x" $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }')"
        [ "$dimensions" = "${size}x${size}" ] || fail "the ${size}x${size} icon is $dimensions"
    done
    grep -q '<svg' "$p/$datadir/icons/hicolor/scalable/apps/$app_id.svg" || fail "the scalable icon is not SVG"
fi

exit "$status"
