#!/usr/bin/env bash
# The Win32 serial backend under Wine against flashmere-devsim on a
# pseudo-terminal: the test's own Wine prefix maps COM9 to the simulator's
# pty, the probe program exchanges real requests with an 8401 at ID 3, and
# when it asks, the simulator ends, which hangs up the line.
# Usage: win32_serial_pty_test.sh WINE DEVSIM PROBE.exe PREFIX
set -euo pipefail
wine=$1 devsim=$2 probe=$3 prefix=$4
export WINEPREFIX=$prefix WINEDEBUG=-all
wineserver="$(dirname "$wine")/wineserver"

work=$(mktemp -d)
sim_pid=
server_pid=
cleanup() {
  for pid in "$sim_pid" "$server_pid"; do
    if [ -n "$pid" ]; then kill -CONT "$pid" 2>/dev/null || true; kill "$pid" 2>/dev/null || true; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

# The first start makes the prefix (seconds); Wine creates dosdevices then.
if [ ! -d "$prefix/dosdevices" ]; then
  mkdir -p "$prefix"
  timeout 180 "$wine" cmd /c exit 0 >/dev/null 2>&1 || true
fi
# The prefix's own server, started here, so that it does not keep the
# probe's output open after the probe ended; it goes with the script.
timeout 30 "$wineserver" -w
"$wineserver" -f -p >/dev/null 2>&1 &
server_pid=$!

mkfifo "$work/sim" "$work/probe" "$work/answers"
"$devsim" --pty --model 8401 --id 3 >"$work/sim" &
sim_pid=$!
exec 3<"$work/sim"
read -r -t 30 -u 3 line || { echo "the simulator did not start"; exit 1; }
pty=${line#serial }
[ -c "$pty" ] || { echo "the simulator printed no pty: $line"; exit 1; }
ln -sfn "$pty" "$prefix/dosdevices/com9"

timeout 120 "$wine" "$probe" COM9 <"$work/answers" >"$work/probe" 2>&1 &
probe_pid=$!
exec 5>"$work/answers" 4<"$work/probe"
while read -r -t 90 -u 4 line; do
  echo "$line"
  if [[ $line == "stop the device now"* ]]; then
    kill -STOP "$sim_pid"
    echo stopped >&5
  elif [[ $line == "continue the device now"* ]]; then
    kill -CONT "$sim_pid"
    echo continued >&5
  elif [[ $line == "hang up "* ]]; then
    kill "$sim_pid"
    wait "$sim_pid" || true
    sim_pid=
  fi
  [[ $line == "probe done"* ]] && break
done
set +e
wait "$probe_pid"
rc=$?
echo "probe exit code $rc"
exit "$rc"
