#!/usr/bin/env bash
# Renders flashmere.svg into the hicolor PNG sizes that are committed beside
# it. Run after changing the drawing; the build only copies the results.
# Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256; do
  dir="hicolor/${size}x${size}/apps"
  mkdir -p "$dir"
  rsvg-convert -w "$size" -h "$size" flashmere.svg -o "$dir/flashmere.png"
  echo "$dir/flashmere.png"
done
