#!/usr/bin/env bash
# Runs every built libFuzzer target for the given number of seconds on its seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-5}"
shopt -s nullglob
ran=0
for bin in build/fuzz/fuzz/fuzz_*; do
    [ -x "$bin" ] || continue
    name="$(basename "$bin")"; name="${name#fuzz_}"
    work="build/fuzz/corpus/$name"; mkdir -p "$work"
    echo "fuzz: $name for ${seconds}s"
    "$bin" -max_total_time="$seconds" -print_final_stats=0 "$work" "fuzz/corpus/$name" 2>&1 | tail -n 2
    ran=$((ran + 1))
done
echo "fuzz: $ran targets ran clean"
