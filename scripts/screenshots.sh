#!/usr/bin/env bash
# Renders the main window in English, Simplified and Traditional Chinese to
# docs/screenshots/window-<lang>.png on the offscreen platform (no display
# needed), and, when a Windows build is at hand, the Windows program under
# Wine with its own platform and style on a virtual X display (Xvfb), the
# three languages one below the other, to docs/screenshots/window-windows.png.
# Usage: scripts/screenshots.sh [build-dir [windows-build-dir]]
#        (default: build/shell and build/windows-full)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/shell}"
windows_build="${2:-build/windows-full}"
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

# The Windows program: Wine hands it no QT_* variable, so the platform is an
# argument; a private Wine prefix, gone afterwards.
if [[ -f "$windows_build/bin/flashmere.exe" ]]; then
  wine=$(sed -n 's/^FLASHMERE_WINE:FILEPATH=//p' "$windows_build/CMakeCache.txt")
  export WINEPREFIX="$work/wine-prefix" WINEDEBUG=-all
  settings="Z:$(tr / '\\' <<<"$work/windows.json")"
  grabs=()
  for lang in en zh-CN zh-TW; do
    xvfb-run -a -s "-screen 0 1280x1024x24" \
      "$wine" "$windows_build/bin/flashmere.exe" -platform windows --settings "$settings" \
      --lang "$lang" --grab "Z:$(tr / '\\' <<<"$work/windows-$lang.png")" --no-note
    grabs+=("$work/windows-$lang.png")
  done
  "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
  convert "${grabs[@]}" -background white -splice 0x8 -append -chop 0x8 "$out/window-windows.png"
  echo "$out/window-windows.png"
fi
