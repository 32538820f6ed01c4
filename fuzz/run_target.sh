#!/bin/sh
# Runs one fuzz target: every committed regression input once, then the given number of seconds
# of fuzzing from the seed corpus. New inputs go to a scratch directory, never into the seeds.
# A finding prints the fuzzer's report and the input in hex, and fails.
# Usage: run_target.sh BINARY SECONDS REGRESSION_DIR SEED_DIR...
set -eu
binary=$1
seconds=$2
regressions=$3
shift 3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/zep-fuzz-run-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/new"

fail() {
    tail -n 60 "$scratch/log"
    for input in "$scratch"/crash-* "$scratch"/leak-* "$scratch"/timeout-* "$scratch"/oom-*; do
        [ -f "$input" ] && { echo "== $input"; od -An -tx1 "$input" | head -n 40; }
    done
    exit 1
}

inputs=$(find "$regressions" -type f ! -name 'README*' 2>/dev/null | sort)
if [ -n "$inputs" ]; then
    # shellcheck disable=SC2086
    "$binary" -artifact_prefix="$scratch/" $inputs >"$scratch/log" 2>&1 || fail
    echo "regressions: $(echo "$inputs" | wc -l) inputs pass"
fi
"$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$scratch/" "$scratch/new" "$@" >"$scratch/log" 2>&1 || fail
grep -E 'DONE|stat::number_of_executed_units' "$scratch/log"
