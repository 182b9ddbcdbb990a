#!/usr/bin/env bash
# The tests' share of the code, in non-blank lines of C++ and Python under version control:
# tests/ and fuzz/, any tests or test folder, test_*.py and *_test.py count as tests; every other
# .cpp/.cc/.h/.hpp/.py file counts as code.
set -euo pipefail
cd "$(dirname "$0")/.."
srcs=$(git ls-files | grep -E '\.(cpp|cc|h|hpp|py)$' || true)
testpat='^(tests|fuzz)/|(^|/)tests?/|(^|/)test_[^/]*\.py$|_test\.py$'
nb() { xargs -r cat 2>/dev/null | grep -cv '^\s*$' || true; }
t=$(grep -E "$testpat" <<<"$srcs" | nb)
a=$(grep -Ev "$testpat" <<<"$srcs" | nb)
awk -v t="$t" -v all="$((a + t))" 'BEGIN { printf "tests: %d non-blank lines of %d (%.1f%%)\n", t, all, 100 * t / all }'
