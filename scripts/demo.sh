#!/usr/bin/env bash
# The main job: builds what it needs, starts a simulated device on loopback,
# packs a demo firmware image and upgrades the device with it, showing the
# progress. Where a display exists, the window then opens, set up for the
# same simulated device.
#   scripts/demo.sh [MODEL]     (default 8401; e.g. 8400, 8201, 8801)
set -euo pipefail
cd "$(dirname "$0")/.."
model="${1:-8401}"

scripts/install-deps.sh
cmake --preset default >/dev/null
targets=(flashmere-cli flashmere-devsim)
[ -n "${DISPLAY:-}" ] && targets+=(flashmere)
cmake --build --preset default --target "${targets[@]}"
bin="$PWD/build/default/bin"

work="$(mktemp -d)"
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A 32 KiB body with a recognisable pattern, packed as a firmware file.
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7 + i // 256) & 0xFF for i in range(32768)))' \
  > "$work/body.bin"
"$bin/flashmere-cli" pack --model "$model" --name DEMO --version V1.0 "$work/body.bin" "$work/demo.TVB"

"$bin/flashmere-devsim" --tcp 127.0.0.1:0 --model "$model" --id 0 --dump "$work/device.bin" \
  > "$work/sim.out" 2> "$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$work/sim.out" ] && break
  sleep 0.05
done
address="$(head -n1 "$work/sim.out" | sed -n 's/^listening on //p')"
[ -n "$address" ] || { echo "the simulated device did not start:" >&2; cat "$work/sim.err" >&2; exit 1; }
echo "simulated device $model listening on $address"

"$bin/flashmere-cli" upgrade "$work/demo.TVB" --net "$address"

if [ -n "${DISPLAY:-}" ]; then
  echo "opening the window for the same device; press \"2. Upgrade\" to run it again"
  "$bin/flashmere" --net "$address" --file "$work/demo.TVB"
fi
