#!/usr/bin/env bash
# Builds the libFuzzer harnesses (fuzz preset, clang) and runs each one for
# SECONDS on a scratch copy of its seed corpus. Exits non-zero when any
# harness reports a crash, a sanitizer finding, a leak or a hang.
#
# Usage: scripts/fuzz.sh [SECONDS] [HARNESS...]     (default 45 s, every harness)
#   FUZZ_JOBS=N         harnesses run side by side (default: 2 when the machine has 2+ cores)
#   FUZZ_SKIP_BUILD=1   use the harnesses already built in build/fuzz
#   FUZZ_SKIP_KNOWN=1   leave out the seeds named crash-* (reproducers of faults not yet
#                       mended), to look for other faults meanwhile
#   FUZZ_FORK=1         keep fuzzing after a crash (-fork=1 -ignore_crashes=1); the run
#                       still fails, and every crash lands in the artifacts folder
# Logs: build/fuzz/fuzz-logs/<harness>.log; inputs that failed:
# build/fuzz/fuzz-artifacts/<harness>/ (replay one: build/fuzz/bin/<harness> FILE).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds="${1:-45}"
shift || true
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "fuzz.sh: SECONDS must be a positive whole number, got '$seconds'" >&2
    exit 2
fi

all_harnesses=(fuzz_binary_reply fuzz_text_reply fuzz_tvb_file fuzz_serial_mode
               fuzz_settings_store fuzz_id_text fuzz_sim_request)
if [ "$#" -gt 0 ]; then
    harnesses=("$@")
else
    harnesses=("${all_harnesses[@]}")
fi

# The largest input each harness takes: a reply line, a firmware file a
# little longer than the smallest page limit, a typed text.
max_len_of() {
    case "$1" in
        fuzz_tvb_file) echo 40000 ;;
        fuzz_serial_mode) echo 256 ;;
        fuzz_id_text) echo 64 ;;
        *) echo 4096 ;;
    esac
}

build="$root/build/fuzz"
if [ "${FUZZ_SKIP_BUILD:-0}" != "1" ]; then
    cmake --preset fuzz >/dev/null || exit 1
    cmake --build "$build" -j2 --target fuzzers || exit 1
fi

cores=$(nproc 2>/dev/null || echo 1)
jobs="${FUZZ_JOBS:-$([ "$cores" -ge 2 ] && echo 2 || echo 1)}"
logs="$build/fuzz-logs"
artifacts="$build/fuzz-artifacts"
# The settings harness replaces its store file for every input: a RAM
# file system keeps that quick.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then
    export TMPDIR=/dev/shm
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/flashmere-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$logs"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"

run_one() {
    local h="$1"
    local bin="$build/bin/$h"
    if [ ! -x "$bin" ]; then
        echo "fuzz.sh: no harness $bin" >"$logs/$h.log"
        echo 1 >"$work/$h.rc"
        return
    fi
    rm -rf "${artifacts:?}/$h"
    mkdir -p "$artifacts/$h" "$work/$h"
    if [ -d "fuzz/corpus/$h" ]; then
        cp -r "fuzz/corpus/$h/." "$work/$h/"
        if [ "${FUZZ_SKIP_KNOWN:-0}" = "1" ]; then
            rm -f "$work/$h"/crash-*
        fi
    fi
    local extra=()
    if [ "${FUZZ_FORK:-0}" = "1" ]; then
        extra=(-fork=1 -ignore_crashes=1)
    fi
    "$bin" "$work/$h" \
        -max_total_time="$seconds" -rss_limit_mb=2048 -detect_leaks=1 -timeout=20 \
        -max_len="$(max_len_of "$h")" -use_value_profile=1 -print_final_stats=1 \
        -artifact_prefix="$artifacts/$h/" "${extra[@]}" >"$logs/$h.log" 2>&1
    local rc=$?
    if [ -n "$(ls -A "$artifacts/$h")" ]; then
        rc=1
    fi
    # A finding must fail the run even if the exit code did not say so.
    if [ "$rc" -eq 0 ] && grep -qE "$finding" "$logs/$h.log"; then
        rc=1
    fi
    echo "$rc" >"$work/$h.rc"
}
finding="ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:|fuzz invariant broken"

status=0
for h in "${harnesses[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n || true
    done
    run_one "$h" &
done
wait

echo "harness                    result  executions  details"
for h in "${harnesses[@]}"; do
    if [ "$(cat "$work/$h.rc" 2>/dev/null || echo 1)" = 0 ]; then
        result=ok
    else
        result=FAILED
        status=1
    fi
    # The last status line: "#N DONE cov: ..." (or "#N: cov: ..." when forking).
    done_line=$(grep -E "^#[0-9]+(:|[[:space:]]+DONE)" "$logs/$h.log" | tail -n 1)
    runs=$(grep -oE "stat::number_of_executed_units: [0-9]+" "$logs/$h.log" | awk '{print $2}')
    runs=${runs:-$(echo "$done_line" | grep -oE "^#[0-9]+" | tr -d '#')}
    printf '%-26s %-7s %-11s %s\n' "$h" "$result" "${runs:-?}" "${done_line:-(no DONE line)}"
    if [ "$result" = FAILED ]; then
        grep -E "ERROR:|runtime error:|fuzz invariant broken|SUMMARY:" "$logs/$h.log" | head -n 5 | sed 's/^/    /'
        ls "$artifacts/$h" 2>/dev/null | sed "s|^|    artifact: $artifacts/$h/|"
        echo "    log: $logs/$h.log"
    fi
done
exit "$status"
