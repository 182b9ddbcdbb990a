#!/usr/bin/env bash
# Builds the release preset (installing what is missing) and runs the transfer benchmarks, each
# printing its ratio: the peak memory of a 16 MiB write over its size (with glibc's defaults and
# with a raised mmap threshold, each in a process of its own), host CPU per byte of a 16 MiB
# encrypted write and read-back over the cipher floor, 16 tokens at once against one, and the
# CRC-8 throughput. "scripts/bench.sh all" runs every benchmark of vexa_bench afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh release --target vexa_bench
bench=build/release/bench/vexa_bench

echo "== peak memory of a 16 MiB write (peak_growth_over_size; goal <= 1.1)"
"$bench" --benchmark_filter='^BM_LargeWritePeakMemory'
GLIBC_TUNABLES=glibc.malloc.mmap_threshold=33554432 "$bench" --benchmark_filter='^BM_LargeWritePeakMemory'

echo "== host CPU of a 16 MiB encrypted transfer (write_over_floor, read_over_floor; goal <= 5)"
"$bench" --benchmark_filter='^BM_LargeTransferCost'

echo "== 16 tokens at once (virtual_over_one; goal <= 1.05; cpu_over_linear near 1)"
"$bench" --benchmark_filter='^BM_ManyTokens'

echo "== CRC-8 throughput"
"$bench" --benchmark_filter='^BM_CRC8$'

if [ "${1:-}" = all ]; then
    echo "== every benchmark"
    "$bench"
fi
