#!/usr/bin/env bash
# Builds Flashmere and runs every test. Usage: scripts/test.sh [preset]   (default: default)
# windows-core builds the core and its tests for Windows and runs them under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
if [ "$preset" = windows-core ]; then
  scripts/install-deps.sh windows
else
  scripts/install-deps.sh
fi
export QT_QPA_PLATFORM=offscreen
extra=()
if [ "$preset" = windows-core ]; then
  # The Windows serial test talks to the Linux simulator on a pty.
  scripts/install-deps.sh
  cmake --preset default >/dev/null
  cmake --build --preset default -j"$(nproc)" --target flashmere-devsim
  extra=(-DFLASHMERE_DEVSIM="$PWD/build/default/bin/flashmere-devsim")
fi
cmake --preset "$preset" "${extra[@]}" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
if [ "$preset" = windows-core ]; then
  ctest --preset "$preset" -j"$(nproc)"
else
  # Most tests wait on the device's pauses rather than compute: twice as many
  # run side by side as there are cores.
  ctest --preset "$preset" -j"$(( $(nproc) * 2 ))"
fi
