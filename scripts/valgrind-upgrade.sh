#!/usr/bin/env bash
# One whole flashmere-cli upgrade under valgrind memcheck, against a
# flashmere-devsim on loopback TCP (model 8401, 4 pages, read back and
# started). Exit status 1 when valgrind reports any error or a definite or
# indirect leak, or the upgrade does not end with "Upgrade ok.".
#
#   scripts/valgrind-upgrade.sh [MODEL] [PAGES]     default 8401 4
#
# Environment: BUILD_DIR (default build/reliability), SKIP_BUILD=1.
set -euo pipefail

cd "$(dirname "$0")/.."
MODEL=${1:-8401}
PAGES=${2:-4}
BUILD_DIR=${BUILD_DIR:-build/reliability}
BIN="$BUILD_DIR/bin"

if [[ "${SKIP_BUILD:-0}" != 1 ]]; then
  if [[ ! -f "$BUILD_DIR/build.ninja" ]]; then
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build "$BUILD_DIR" -j2 --target flashmere-cli flashmere-devsim >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/valgrind-upgrade.XXXXXX")
sim_pid=""
cleanup() {
  if [[ -n "$sim_pid" ]]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

head -c $((PAGES * 256)) /dev/urandom >"$work/body.bin"
"$BIN/flashmere-cli" pack --model "$MODEL" --name VALGRIND --version V1 \
  "$work/body.bin" "$work/fw.TVB" >/dev/null

"$BIN/flashmere-devsim" --tcp 127.0.0.1:0 --model "$MODEL" --id 0 --reboot-ms 300 \
  --dump "$work/device.bin" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 50); do
  grep -q '^listening on ' "$work/sim.out" 2>/dev/null && break
  sleep 0.1
done
endpoint=$(sed -n 's/^listening on //p' "$work/sim.out")
[[ -n "$endpoint" ]] || { echo "flashmere-devsim did not start" >&2; exit 1; }

status=0
FLASHMERE_SETTINGS_FILE="$work/settings.json" timeout 600 \
  valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
  --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
  --track-origins=yes --log-file="$work/valgrind.log" \
  "$BIN/flashmere-cli" upgrade "$work/fw.TVB" --net "$endpoint" >"$work/cli.out" 2>&1 || status=$?

last=$(tail -n 1 "$work/cli.out")
echo "flashmere-cli upgrade (model $MODEL, $PAGES pages, TCP): exit $status, last line: $last"
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable|All heap blocks|total heap usage' \
  "$work/valgrind.log" | sed 's/^==[0-9]*== *//'
if [[ $status -ne 0 || "$last" != "Upgrade ok." ]]; then
  cat "$work/valgrind.log" >&2
  exit 1
fi
