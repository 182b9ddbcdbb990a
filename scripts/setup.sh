#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing, then configures and builds
# the given preset (default: "default"). Runs as root on CI; uses sudo otherwise when available.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(cmake ninja-build g++ pkg-config libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev libsdbus-c++-dev libsystemd-dev dbus-daemon clang libclang-rt-14-dev
          python3-dev pybind11-dev python3-pybind11 python3-setuptools python3-wheel python3-venv python3-pytest
          python3-pytest-asyncio gcovr tshark)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null; then SUDO="sudo"; else
            echo "setup: missing packages (${missing[*]}) and not root; install them first" >&2; exit 1
        fi
    fi
    export DEBIAN_FRONTEND=noninteractive
    # tshark asks whether non-superusers may capture; answer "no" ahead so nothing waits for input.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
    $SUDO apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

preset="${1:-default}"
shift || true
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" "$@"
