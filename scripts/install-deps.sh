#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need.
# Idempotent: does nothing when every package is already installed.
set -euo pipefail

packages=(
    build-essential cmake ninja-build ccache pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-translations-l10n qt6-svg-dev libqt6svg6
    fonts-ipafont-gothic
    libgtest-dev libgmock-dev libbenchmark-dev
    libasio-dev libsqlite3-dev libsodium-dev libxcb1-dev libhiredis-dev libpq-dev libssl-dev openssl
    redis-server postgresql haproxy
    prometheus-cpp-dev prometheus fail2ban python3-systemd
    clang libclang-rt-14-dev
    xvfb xdotool xclip x11-apps x11-utils imagemagick openbox tcpdump
    weston qt6-wayland
    desktop-file-utils appstream man-db groff-base systemd dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}" >&2
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
