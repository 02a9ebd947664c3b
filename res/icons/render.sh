#!/usr/bin/env bash
# Renders the PNG sizes of the icon from vesmira.svg (needs rsvg-convert from librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256; do
    mkdir -p "$size"
    rsvg-convert -w "$size" -h "$size" vesmira.svg -o "$size/vesmira.png"
done
