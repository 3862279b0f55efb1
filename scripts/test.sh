#!/usr/bin/env bash
# Builds Flashmere and runs every test. Usage: scripts/test.sh [preset]   (default: default)
# windows-core builds the core and its tests for Windows and runs them under Wine.
# windows-full builds the whole product for Windows against the Qt named by
# FLASHMERE_QT_WINDOWS (scripts/build-qt-windows.sh makes one) and tests it
# under Wine, flashmere-cli.exe against the default preset's flashmere-devsim,
# which it builds first.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
case "$preset" in
  windows-core) scripts/install-deps.sh windows ;;
  windows-full) scripts/install-deps.sh && scripts/install-deps.sh windows ;;
  *) scripts/install-deps.sh ;;
esac
export QT_QPA_PLATFORM=offscreen
configure=()
if [ "$preset" = windows-full ]; then
  : "${FLASHMERE_QT_WINDOWS:?names no Qt for Windows (see scripts/build-qt-windows.sh)}"
  FLASHMERE_QT_WINDOWS=$(cd "$FLASHMERE_QT_WINDOWS" && pwd)
  export FLASHMERE_QT_WINDOWS
fi
case "$preset" in
  # The Windows programs talk to the Linux simulator (on a pty, on TCP);
  # flashmere-cli.exe's frames are compared with the Linux flashmere-cli's.
  windows-*)
    cmake --preset default >/dev/null
    cmake --build --preset default -j"$(nproc)" --target flashmere-devsim flashmere-cli
    configure=(-DFLASHMERE_DEVSIM="$PWD/build/default/bin/flashmere-devsim") ;;
esac
cmake --preset "$preset" "${configure[@]}" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
case "$preset" in
  windows-*) ctest --preset "$preset" -j"$(nproc)" ;;
  # Most tests wait on the device's pauses rather than compute: twice as many
  # run side by side as there are cores.
  *) ctest --preset "$preset" -j"$(( $(nproc) * 2 ))" ;;
esac
