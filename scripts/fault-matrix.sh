#!/usr/bin/env bash
# The whole real-time fault matrix: flashmere-cli upgrades flashmere-devsim
# processes for models 8401, 8400, 8201 (row 12) and 8801 (text), over
# loopback TCP and a pseudo-terminal, under every fault kind, for SEEDS seeds
# each. The runs mostly sleep, so JOBS of them go at a time. Prints one table
# row per fault; "lies" counts runs that said "Upgrade ok." while the device
# memory differed from the image (0 expected), "broken" runs that broke any
# other invariant (0 expected).
#
#   scripts/fault-matrix.sh [SEEDS] [JOBS]      default 3 seeds, 8 jobs
#
# Environment: BUILD_DIR (default build/reliability), SKIP_BUILD=1,
# FAULTS=name (only the runs whose name holds it, e.g. disconnect or _pty_).
set -euo pipefail

cd "$(dirname "$0")/.."
SEEDS=${1:-3}
JOBS=${2:-8}
BUILD_DIR=${BUILD_DIR:-build/reliability}

if [[ "${SKIP_BUILD:-0}" != 1 ]]; then
  if [[ ! -f "$BUILD_DIR/build.ninja" ]]; then
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  fi
  cmake --build "$BUILD_DIR" -j2 --target reliability_process_test flashmere-cli flashmere-devsim >/dev/null
fi

test_bin="$BUILD_DIR/bin/reliability_process_test"
[[ -x "$test_bin" ]] || test_bin="$BUILD_DIR/tests/reliability/reliability_process_test"
logs=$(mktemp -d "${TMPDIR:-/tmp}/fault-matrix.XXXXXX")
trap 'rm -rf "$logs"' EXIT

export FLASHMERE_FAULT_MATRIX_SEEDS=$SEEDS
export FLASHMERE_BIN_DIR="$PWD/$BUILD_DIR/bin"
export QT_QPA_PLATFORM=offscreen
start=$(date +%s)
pids=()
for ((shard = 0; shard < JOBS; shard++)); do
  GTEST_TOTAL_SHARDS=$JOBS GTEST_SHARD_INDEX=$shard \
    "$test_bin" --gtest_filter="Matrix/*${FAULTS:-}*" >"$logs/shard$shard.log" 2>&1 &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
  wait "$pid" || status=1
done
elapsed=$(($(date +%s) - start))

cat "$logs"/shard*.log | grep '^MATRIX' | awk -F'\t' -v elapsed="$elapsed" '
  {
    fault = $2; runs[fault]++; total++
    outcome[fault, $6]++; texts[$6] = 1
    lies[fault] += $7; broken[fault] += $8; lieTotal += $7; brokenTotal += $8
    if ($9 > longest[fault]) longest[fault] = $9
    order[fault] = order[fault] ? order[fault] : ++n; names[order[fault]] = fault
  }
  END {
    printf "| Fault | Runs | Outcomes | Longest run (s) | Lies | Broken |\n|---|---|---|---|---|---|\n"
    for (i = 1; i <= n; i++) {
      f = names[i]; line = ""
      for (t in texts) if (outcome[f, t]) line = line (line ? ", " : "") t " " outcome[f, t]
      printf "| %s | %d | %s | %.1f | %d | %d |\n", f, runs[f], line, longest[f] / 1000, lies[f], broken[f]
    }
    printf "\n%d runs in %d s; lies %d, broken %d\n", total, elapsed, lieTotal, brokenTotal
  }'

failed=$(cat "$logs"/shard*.log | grep -c '^\[  FAILED  \] Matrix/' || true)
if [[ $status -ne 0 || $failed -ne 0 ]]; then
  echo "failed runs ($failed):"
  cat "$logs"/shard*.log | grep '^\[  FAILED  \] Matrix/' | sed 's/ (.*//' | sort -u
  cat "$logs"/shard*.log | grep -B2 -A6 'Failure$' | head -80
  exit 1
fi
