#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds and runs every test under
# AddressSanitizer + UndefinedBehaviorSanitizer, builds the release preset (benchmarks included,
# so that warnings only the optimiser raises are caught), runs the threaded suites under
# ThreadSanitizer, and each libFuzzer target for a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan.supp"

echo "== build and test (ASan + UBSan)"
scripts/setup.sh asan
ctest --preset asan

echo "== install, then build and run the examples against the installed package"
# The sanitizer build is installed (no second build); its consumers link the sanitizer runtimes.
san="-fsanitize=address,undefined"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install build/asan --prefix "$prefix" >/dev/null
cmake -S examples -B "$prefix/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_FLAGS="$san" -DCMAKE_EXE_LINKER_FLAGS="$san" >/dev/null
cmake --build "$prefix/build"
"$prefix/build/read_serial"
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
g++ -std=c++20 $san -o "$prefix/read_serial_pc" examples/read_serial.cpp $(pkg-config --cflags vexatokenkit) \
    -L"$prefix/lib" -lvexatokenkit_sim $(pkg-config --libs vexatokenkit)
"$prefix/read_serial_pc"
"$prefix/bin/vexatoken" --backend sim demo >/dev/null

echo "== release build: the optimised library, tool and benchmarks build without warnings (not run)"
scripts/setup.sh release

echo "== threaded tests (TSan)"
tsan_suites=(test_threads)
# The BlueZ backend's D-Bus thread meets the main queue: its suite runs under TSan as well.
[ -x build/asan/tests/test_bluez ] && tsan_suites+=(test_bluez)
scripts/setup.sh tsan $(printf -- '--target %s ' "${tsan_suites[@]}")
ctest --preset tsan -L "$(IFS='|'; echo "${tsan_suites[*]}")"

if command -v clang++ >/dev/null; then
    echo "== fuzz targets (short runs)"
    scripts/setup.sh fuzz
    scripts/fuzz.sh "${FUZZ_SECONDS:-5}"
fi
echo "== all tests passed"
