#!/usr/bin/env bash
# Renders the main window in English, Simplified and Traditional Chinese to
# docs/screenshots/window-<lang>.png on the offscreen platform (no display
# needed). Usage: scripts/screenshots.sh [build-dir]   (default: build/shell)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/shell}"
if [[ ! -x "$build/bin/flashmere" ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j2 --target flashmere
fi
out=docs/screenshots
mkdir -p "$out"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/xdg"
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work/xdg"
for lang in en zh-CN zh-TW; do
  # A private, empty settings file: the pictures show the defaults.
  "$build/bin/flashmere" --settings "$work/settings.json" --lang "$lang" \
    --grab "$out/window-$lang.png"
  echo "$out/window-$lang.png"
done
