#!/bin/sh
# Runs every benchmark of a build made with -DZEP_BENCH=ON. Usage: run.sh BUILD_DIR
set -eu
build=${1:-build-bench}
for program in "$build"/bench/zep_bench_*; do
    [ -x "$program" ] || continue
    echo "== $(basename "$program")"
    "$program" --benchmark_counters_tabular=true
done
