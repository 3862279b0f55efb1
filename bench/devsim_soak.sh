#!/usr/bin/env bash
# RUNS whole upgrades (an 8-page image of model 8401, Verify on) against one
# flashmere-devsim process over loopback TCP; prints the simulator's
# resident memory after 5 runs and after all of them. Extra arguments go to
# flashmere-devsim (e.g. --log FILE).
#
#   bench/devsim_soak.sh BIN_DIR RUNS [DEVSIM OPTIONS...]
set -uo pipefail
bin=$1
runs=$2
shift 2
dir=$(mktemp -d "${TMPDIR:-/tmp}/devsim-soak.XXXXXX")
export QT_QPA_PLATFORM=offscreen FLASHMERE_SETTINGS_FILE=$dir/settings.json
head -c 2048 /dev/urandom >"$dir/body.bin"
"$bin/flashmere-cli" pack "$dir/body.bin" "$dir/fw.TVB" --model 8401 --name SOAK \
  --version V1 >/dev/null
"$bin/flashmere-devsim" --tcp 127.0.0.1:0 --model 8401 --reboot-ms 100 "$@" >"$dir/sim.out" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null; rm -rf "$dir"' EXIT
for _ in $(seq 50); do
  grep -q listening "$dir/sim.out" && break
  sleep 0.1
done
port=$(sed -n 's/.*127.0.0.1:\([0-9]*\)/\1/p' "$dir/sim.out")
rss() { awk '/VmRSS/ {print $2}' "/proc/$sim/status"; }
ok=0
early=
for ((i = 1; i <= runs; i++)); do
  "$bin/flashmere-cli" upgrade "$dir/fw.TVB" --net "127.0.0.1:$port" >/dev/null 2>&1 && ok=$((ok + 1))
  [[ $i -eq 5 ]] && early=$(rss)
done
echo "$runs upgrades, $ok ok; flashmere-devsim $*: VmRSS after 5: ${early:-?} kB, after $runs: $(rss) kB"
