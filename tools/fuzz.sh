#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang (ASan, UBSan, libFuzzer), runs every seed corpus once
# as a regression test, then fuzzes each target over its corpus. New inputs go to a scratch
# folder, so the seeds in the repository stay as they are; an input that breaks a target is kept
# in the build folder (fuzz-findings/) and fails the script.
#   FUZZ_SECONDS   time per target (default 30; 0: no limit)
#   FUZZ_RUNS      executions per target (default: no limit)
#   FUZZ_PARALLEL  targets fuzzed at a time (default 1)
#   FUZZ_TARGETS   which targets (default: all), e.g. "version image_file"
#   BUILD_DIR      the fuzz build (default: build-fuzz)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
build=${BUILD_DIR:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-30}
parallel=${FUZZ_PARALLEL:-1}
targets=${FUZZ_TARGETS:-$(ls "$root/fuzz/corpus")}
launcher=""
command -v ccache >/dev/null && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DTAVO_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    $launcher >/dev/null
cmake --build "$build" -j"$(nproc)"
(cd "$build" && ctest -L fuzz --output-on-failure)

# The targets write small files for every input: a memory-backed folder keeps that quick.
[ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=${TMPDIR:-/dev/shm}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
findings=$build/fuzz-findings
mkdir -p "$findings"

fuzz_one() {
    local target=$1
    mkdir -p "$scratch/$target"
    local limits=(-max_total_time="$seconds")
    [ -n "${FUZZ_RUNS:-}" ] && limits+=(-runs="$FUZZ_RUNS")
    local status=0
    "$build/bin/tavo_fuzz_$target" "${limits[@]}" -print_final_stats=1 \
        -artifact_prefix="$findings/$target-" "$scratch/$target" "$root/fuzz/corpus/$target" \
        >"$scratch/$target.log" 2>&1 || status=$?
    local runs rate
    runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$scratch/$target.log")
    rate=$(awk '/stat::average_exec_per_sec/ {print $2}' "$scratch/$target.log")
    if [ "$status" -eq 0 ]; then
        printf '%-15s %12s executions %8s/s  no findings\n' "$target" "${runs:-?}" "${rate:-?}"
    else
        printf '%-15s %12s executions %8s/s  FAILED (exit %d)\n' "$target" "${runs:-?}" \
            "${rate:-?}" "$status"
        grep -E "ERROR|property broken|SUMMARY|Test unit written" "$scratch/$target.log" || true
        cp "$scratch/$target.log" "$findings/$target.log"
        return 1
    fi
}

failed=0
running=0
for target in $targets; do
    if [ "$running" -ge "$parallel" ]; then
        wait -n || failed=1
        running=$((running - 1))
    fi
    fuzz_one "$target" &
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
done
[ "$failed" -eq 0 ] || { echo "fuzzing found faults: see $findings" >&2; exit 1; }
