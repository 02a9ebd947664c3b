#!/usr/bin/env bash
# Usage: check-debian-packages.sh BUILD_DIR BUILD_CLIENT
# Builds the Debian packages with CPack into a temporary folder and checks their control fields and contents.
set -euo pipefail
build_dir="$1"
build_client="$2"
. "$(dirname "$0")/checks.sh"

cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || {
    cat "$tmp/cpack.log" >&2
    echo "FAIL: cpack failed" >&2
    exit 1
}

version="$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build_dir/CPackConfig.cmake")"
architecture="$(dpkg --print-architecture)"

# Checks one package: its file, control fields and that it holds exactly what its component installs.
check_package() {
    local package="$1" component="$2"
    shift 2
    local deb="$tmp/out/${package}_${version}-1_${architecture}.deb"
    if [ ! -f "$deb" ]; then
        fail "cpack made no $(basename "$deb"); it made: $(find "$tmp/out" -maxdepth 1 -name '*.deb' -printf '%f ')"
        return
    fi
    [ "$(dpkg-deb -f "$deb" Package)" = "$package" ] || fail "$deb: Package is not $package"
    local depends
    depends="$(dpkg-deb -f "$deb" Depends)"
    local needed
    for needed in "$@"; do
        [[ ", $depends," == *", $needed"[\ ,\(]* ]] || fail "$package does not depend on $needed: $depends"
    done

    dpkg-deb -x "$deb" "$tmp/$package"
    DESTDIR="$tmp/$component" cmake --install "$build_dir" --component "$component" >/dev/null
    if ! diff <(cd "$tmp/$component" && find . -type f | sort) <(cd "$tmp/$package" && find . -type f | sort) \
        >"$tmp/diff.txt"; then
        fail "$package holds other files than the $component component installs (< missing, > extra):"
        cat "$tmp/diff.txt" >&2
    fi
    local changelog
    changelog="$(find "$tmp/$package" -path "*/share/doc/$package/changelog.Debian.gz")"
    if [ -n "$changelog" ]; then
        gzip -dc "$changelog" >"$tmp/changelog"
        local logged
        logged="$(dpkg-parsechangelog -l "$tmp/changelog" -S Version || true)"
        [ "$logged" = "$(dpkg-deb -f "$deb" Version)" ] ||
            fail "$package: the changelog's newest version is '$logged', not the package's"
    else
        fail "$package has no changelog.Debian.gz"
    fi
    local binary
    for binary in $(cd "$tmp/$package" && find . -type f -path '*/bin/*'); do
        if grep -q '\.debug_info' <(readelf -S "$tmp/$package/$binary"); then
            fail "$package: $binary is not stripped"
        fi
    done
}

check_package vesmira-server server libc6 libsqlite3-0 libsodium23
deb="$tmp/out/vesmira-server_${version}-1_${architecture}.deb"
if [ -f "$deb" ]; then
    dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - >"$tmp/control.txt"
    for script in postinst prerm postrm; do
        grep -qE "^-rwxr-xr-x .* \./$script$" "$tmp/control.txt" || fail "vesmira-server has no executable $script"
    done
fi

if [ "$build_client" = 1 ]; then
    check_package vesmira client libc6 libqt6core6 libqt6gui6 libqt6widgets6 libxcb1 fonts-ipafont-gothic \
        qt6-translations-l10n
    deb="$tmp/out/vesmira_${version}-1_${architecture}.deb"
    if [ -f "$deb" ]; then
        recommends="$(dpkg-deb -f "$deb" Recommends)"
        [[ "$recommends" == *fcitx5-frontend-qt6* ]] || fail "vesmira does not recommend fcitx5"
        [[ "$recommends" == *qt6-wayland* ]] || fail "vesmira does not recommend qt6-wayland"
    fi
fi

exit "$status"
