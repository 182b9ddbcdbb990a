#!/usr/bin/env bash
# Installs the packages that are missing, builds the vexatoken tool of the default preset and runs
# its demo: every feature of the library, checked step by step on virtual tokens.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default --target vexatoken
exec build/default/Tools/vexatoken/vexatoken demo "$@"
