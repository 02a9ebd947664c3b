#!/usr/bin/env bash
# Builds the Debian packages vesmira and vesmira-server into BUILD_DIR/packages.
# Usage: package.sh [BUILD_DIR]   (default: build-deb; an existing build folder keeps its settings but the prefix)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:-$root/build-deb}"
jobs="$(nproc 2>/dev/null || echo 2)"
"$root/scripts/install-deps.sh"

# Packages install into /usr, and the systemd unit names the server by that path.
if [ -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build_dir" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
else
    cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVESMIRA_BUILD_TESTS=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
fi
cmake --build "$build_dir" -j "$jobs"
rm -rf "$build_dir/packages"
cpack -G DEB --config "$build_dir/CPackConfig.cmake" -B "$build_dir/packages"
rm -rf "$build_dir/packages/_CPack_Packages"
for deb in "$build_dir"/packages/*.deb; do
    echo "$deb"
    dpkg-deb -f "$deb" Package Version Depends Recommends
done
