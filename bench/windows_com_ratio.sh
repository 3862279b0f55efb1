#!/usr/bin/env bash
# Windows over a COM port against Linux over the same kind of pty: the same
# 128-page 8401 image at 115200,n,8,1, flashmere-cli.exe under Wine (a comN
# link in a private prefix to flashmere-devsim --pty) and the Linux
# flashmere-cli on the simulator's pty, RUNS of each, alternating. Prints each
# run's wall time and the ratio of the medians.
# Usage: bench/windows_com_ratio.sh [windows-build [linux-build [RUNS]]]
set -euo pipefail
cd "$(dirname "$0")/.."
wbuild=$(cd "${1:-build/windows-full}" && pwd)
lbuild=$(cd "${2:-build/default}" && pwd)
runs=${3:-3}
wine=$(sed -n 's/^FLASHMERE_WINE:FILEPATH=//p' "$wbuild/CMakeCache.txt")
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
sim=
trap '[ -n "$sim" ] && kill $sim 2>/dev/null; "$(dirname "$wine")/wineserver" -k 2>/dev/null; rm -rf "$work"' EXIT
"$wine" cmd /c "exit 0" >/dev/null 2>&1
python3 -c "import sys; sys.stdout.buffer.write(bytes((i*13+i//256+1)&255 for i in range(128*256)))" \
  >"$work/body.bin"
"$lbuild/bin/flashmere-cli" pack --model 8401 --name APP --version V1.2 "$work/body.bin" \
  "$work/fw.TVB" >/dev/null
one() {  # one upgrade by the program $1 (windows or linux); prints its seconds
  "$lbuild/bin/flashmere-devsim" --pty --model 8401 --reboot-ms 300 >"$work/sim.out" &
  sim=$!
  for _ in $(seq 50); do grep -q '^serial ' "$work/sim.out" && break; sleep 0.1; done
  local pty start end
  pty=$(sed -n 's/^serial //p' "$work/sim.out")
  ln -sfn "$pty" "$WINEPREFIX/dosdevices/com7"
  start=$(date +%s.%N)
  if [ "$1" = windows ]; then
    FLASHMERE_SETTINGS_FILE="Z:$(tr / '\\' <<<"$work/w.json")" "$wine" \
      "$wbuild/bin/flashmere-cli.exe" upgrade "Z:$(tr / '\\' <<<"$work/fw.TVB")" \
      --com COM7 --mode 115200,n,8,1 >"$work/out" 2>&1
  else
    FLASHMERE_SETTINGS_FILE="$work/l.json" "$lbuild/bin/flashmere-cli" upgrade "$work/fw.TVB" \
      --com "$pty" --mode 115200,n,8,1 >"$work/out" 2>&1
  fi
  end=$(date +%s.%N)
  kill $sim; wait $sim 2>/dev/null || true; sim=
  [ "$(tail -1 "$work/out" | tr -d '\r')" = "Upgrade ok." ] || { echo "$1: $(tail -1 "$work/out")" >&2; exit 1; }
  echo "$end - $start" | bc
}
declare -a w l
for i in $(seq "$runs"); do
  w+=("$(one windows)"); l+=("$(one linux)")
  echo "run $i: windows ${w[-1]} s, linux ${l[-1]} s"
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
mw=$(median "${w[@]}"); ml=$(median "${l[@]}")
echo "median windows $mw s, linux $ml s, ratio $(echo "scale=3; $mw / $ml" | bc)"
