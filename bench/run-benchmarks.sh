#!/usr/bin/env bash
# Flashmere's benchmarks: whole upgrades against the simulated device compared
# with their protocol floor, CPU share and memory of the tool, the window's
# liveness during a run, and the Google Benchmarks of the link and the image
# loader. Prints Markdown tables (see docs/PERFORMANCE.md).
#
#   bench/run-benchmarks.sh [--build DIR] [--no-build] [--runs N] [--quick]
#                           [--xvfb] [--json FILE] [-- upgrade_bench.py options]
#
# --quick runs one repetition of model 8401 and 8801 only.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(dirname "$here")"
build_dir="$source_dir/build/bench"
build=1
runs=3
xvfb=()
json_out=""
extra=()
while [[ $# -gt 0 ]]; do
    case "$1" in
        --build) build_dir="$2"; shift 2 ;;
        --no-build) build=0; shift ;;
        --runs) runs="$2"; shift 2 ;;
        --quick) runs=1; extra+=(--models 8401,8801 --window-models 8401); shift ;;
        --xvfb) xvfb=(--xvfb); shift ;;
        --json) json_out="$2"; shift 2 ;;
        --) shift; extra+=("$@"); break ;;
        -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
        *) echo "run-benchmarks.sh: unknown option $1" >&2; exit 2 ;;
    esac
done

targets=(flashmere-cli flashmere-devsim flashmere upgrade-floor bench_link bench_image_load)
if [[ $build -eq 1 ]]; then
    cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build_dir" -j2 --target "${targets[@]}" >/dev/null
fi
bin="$build_dir/bin"

echo "## Machine"
echo
echo "- nproc: $(nproc)"
echo "- CPU: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
echo "- OS: $(. /etc/os-release && echo "$PRETTY_NAME")"
echo "- Qt: $(qtpaths6 --qt-version 2>/dev/null || echo unknown)"
echo "- load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "- started: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
echo

echo "## Google Benchmarks"
echo
echo '```'
"$bin/bench_link" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>&1
"$bin/bench_image_load" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>&1
echo '```'
echo

echo "## Whole upgrades"
echo
json_args=()
if [[ -n "$json_out" ]]; then
    json_args=(--json-out "$json_out")
fi
python3 "$here/upgrade_bench.py" --bin "$bin" --runs "$runs" "${xvfb[@]}" "${json_args[@]}" \
    "${extra[@]}"
echo
echo "- load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
