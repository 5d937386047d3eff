#!/usr/bin/env bash
# Runs the pass fuzzer from the seed corpus for FUZZ_SECONDS (default 60); any finding fails the run
# and is left in the scratch folder, to be turned into a case of the scenario table.
# usage: run_fuzzer.sh PASS_FUZZER SEED_CORPUS
set -euo pipefail
fuzzer=$(realpath "$1") seeds=$(realpath "$2")
seconds=${FUZZ_SECONDS:-60}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/pass-fuzzer.XXXXXX")
cd "$scratch"
if ! "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        "$scratch" "$seeds" 2>"$scratch/log"; then
    tail -n 40 "$scratch/log" >&2
    echo "pass_fuzzer: a finding; the input and the log are in $scratch" >&2
    exit 1
fi
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' "$scratch/log" || true
grep -E 'cov: [0-9]+' "$scratch/log" | tail -n 1 || true
rm -rf "$scratch"
