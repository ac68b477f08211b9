#!/usr/bin/env bash
# Sets up what is missing, builds, and runs the whole test suite.
# With --sanitize it does the same in the AddressSanitizer + UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=default
[ "${1:-}" = "--sanitize" ] && preset=asan

scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
ctest --preset "$preset" -j"$(nproc)"
