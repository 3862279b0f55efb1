#!/usr/bin/env bash
# The window on Windows over a COM port, by hand's way: installs the
# windows-full build's installer silently into a private Wine prefix, links
# COM7 to flashmere-devsim on a pseudo terminal (a 128-page 8401), starts the
# installed flashmere.exe on a virtual X display with the Windows platform,
# and with xdotool chooses the firmware file in the file dialog, types COM7
# into the port box, presses the 115200,n,8,1 button and 2. Upgrade. When the
# run is recorded in the history it takes a screenshot of the end, checks
# that the record says "Upgrade ok." and that the device holds the image.
# Usage: scripts/windows-window-com.sh [windows-build-dir [screenshot.png]]
#        (default: build/windows-full, docs/screenshots/window-windows-com.png)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(cd "${1:-build/windows-full}" && pwd)
shot=$(realpath -m "${2:-docs/screenshots/window-windows-com.png}")
devsim=$(sed -n 's/^FLASHMERE_DEVSIM:FILEPATH=//p' "$build/CMakeCache.txt")
wine=$(sed -n 's/^FLASHMERE_WINE:FILEPATH=//p' "$build/CMakeCache.txt")
[ -x "$devsim" ] || { echo "no flashmere-devsim: configure with -DFLASHMERE_DEVSIM" >&2; exit 1; }
if [ -z "${DISPLAY:-}" ]; then
  # The installer of this build's programs, made afresh (an older one would
  # test older programs).
  (cd "$build" && cpack -G NSIS >/dev/null)
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$build" "$shot"
fi
installer=$(ls -t "$build"/flashmere-*-win64.exe | head -1)
work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  "$(dirname "$wine")/wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
win() { echo "Z:$(tr / '\\' <<<"$1")"; }

"$wine" cmd /c "exit 0" >/dev/null 2>&1
"$wine" "$installer" /S '/D=C:\Flashmere'
"$(dirname "$wine")/wineserver" -w
python3 -c "import sys; sys.stdout.buffer.write(bytes((i*13+i//256+1)&255 for i in range(128*256)))" \
  >"$work/body.bin"
"$wine" 'C:\Flashmere\bin\flashmere-cli.exe' pack --model 8401 --name APP --version V1.2 \
  "$(win "$work/body.bin")" "$(win "$work/fw.TVB")" >/dev/null

"$devsim" --pty --model 8401 --reboot-ms 300 --dump "$work/device.bin" >"$work/sim.out" &
sim_pid=$!
for _ in $(seq 50); do grep -q '^serial ' "$work/sim.out" && break; sleep 0.1; done
ln -sfn "$(sed -n 's/^serial //p' "$work/sim.out")" "$WINEPREFIX/dosdevices/com7"

"$wine" 'C:\Flashmere\bin\flashmere.exe' -platform windows --no-note \
  --settings "$(win "$work/settings.json")" &
window=
for _ in $(seq 60); do
  window=$(xdotool search --name '^Flashmere' 2>/dev/null | head -1 || true)
  [ -n "$window" ] && break
  sleep 0.5
done
[ -n "$window" ] || fail "the window did not show"
sleep 2
eval "$(xdotool getwindowgeometry --shell "$window")"  # X, Y of the client area
at() { xdotool mousemove $((X + $1)) $((Y + $2)) click 1; sleep 0.5; }

# 1. Select firmware file: the dialog takes the path typed into its name box.
xdotool windowfocus --sync "$window" key alt+s
sleep 3
xdotool type --delay 20 "$(win "$work/fw.TVB")"
xdotool key Return
sleep 4
# The COM tab's port box (80, 5 in the tab page) and the 115200,n,8,1 button;
# the first click may only give the window back its focus after the dialog.
at 173 199
at 173 199
xdotool key ctrl+a
xdotool type --delay 20 COM7
at 202 277
# 2. Upgrade.
xdotool key alt+u
# The history (beside the settings file) gets the run's record at its end.
for _ in $(seq 600); do
  grep -qs '"exit":' "$work/history.jsonl" && break
  sleep 0.5
done
sleep 1
import -window "$window" "$shot"
record=$(grep -s '"exit":' "$work/history.jsonl" | tail -1 || true)
[ -n "$record" ] || fail "no run ended within 300 s"
grep -q '"message":"Upgrade ok."' <<<"$record" || fail "the run did not end \"Upgrade ok.\": $record"
kill "$sim_pid"; wait "$sim_pid" 2>/dev/null || true; sim_pid=
cmp -s <(head -c $((128 * 256)) "$work/device.bin") "$work/body.bin" ||
  fail "the device does not hold the image"
echo "Upgrade ok. over COM7 in the window; the device holds the image; $shot"
