#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds and runs every test under
# AddressSanitizer + UndefinedBehaviorSanitizer, the Python package's tests (a plain optimised
# build), the threaded suites under ThreadSanitizer, and each libFuzzer target for a few seconds.
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

echo "== Python package: pip install (offline) and cmake --install, pytest, the README example"
# Debian's interpreter, which sees Debian's pybind11, pytest and pytest-asyncio (the "python" preset
# builds for it too). The package is tested as pip installs it into a venv; pip reuses the preset's
# build, so the libraries are compiled once, without sanitizers.
python=/usr/bin/python3
python_targets=(vexatokenkit_python)
[ -x build/asan/tests/test_bluez ] && python_targets+=(fakebluez)
scripts/setup.sh python $(printf -- '--target %s ' "${python_targets[@]}")
"$python" -m venv --system-site-packages "$prefix/venv"
VEXA_BUILD_DIR="$PWD/build/python" "$prefix/venv/bin/pip" install -q --no-index --no-build-isolation ./python
cmake --install build/python --component python --prefix "$prefix/py" >/dev/null
PYTHONPATH="$prefix/py/$(sed -n 's/^VEXA_PYTHON_INSTALL_DIR:[A-Z]*=//p' build/python/CMakeCache.txt)" \
    "$python" -c 'import vexatokenkit.testing'
fakebluez="$PWD/build/python/tests/fakebluez/fakebluez"
[ -x "$fakebluez" ] && export VEXA_FAKEBLUEZ="$fakebluez"
"$prefix/venv/bin/python" -m pytest -q -p no:cacheprovider python/tests
VEXATOKENKIT_BACKEND=sim "$prefix/venv/bin/python" examples/python/quickstart.py >/dev/null

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
