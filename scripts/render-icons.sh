#!/usr/bin/env bash
# Renders dist/icons/lumora.svg to the PNG sizes that are installed under
# share/icons/hicolor. The PNGs are committed; run this after changing the SVG.
set -euo pipefail
cd "$(dirname "$0")/../dist/icons"
for size in 16 22 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" -o "lumora-$size.png" lumora.svg
done
