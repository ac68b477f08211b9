#!/usr/bin/env bash
# Sets up what is missing, builds, and runs the whole test suite.
# --sanitize: the same in the AddressSanitizer + UBSan build.
# --tsan: the thread-safety tests (the tsan test preset's filter) under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

preset=default
targets=()
case "${1:-}" in
  --sanitize) preset=asan ;;
  --tsan) preset=tsan; targets=(--target platform_tests device_tests monitor_tests devsim_tests imobiledevice_tests device_tool_tests) ;;
esac

scripts/setup.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j"$(nproc)" "${targets[@]}"
ctest --preset "$preset" -j"$(nproc)"
