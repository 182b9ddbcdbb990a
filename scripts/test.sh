#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds and runs every test under
# AddressSanitizer + UndefinedBehaviorSanitizer, the threaded suites under ThreadSanitizer,
# and each libFuzzer target for a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "== build and test (ASan + UBSan)"
scripts/setup.sh asan
ctest --preset asan

echo "== threaded tests (TSan)"
scripts/setup.sh tsan --target test_threads
ctest --preset tsan -L test_threads

if command -v clang++ >/dev/null; then
    echo "== fuzz targets (short runs)"
    scripts/setup.sh fuzz
    scripts/fuzz.sh "${FUZZ_SECONDS:-5}"
fi
echo "== all tests passed"
