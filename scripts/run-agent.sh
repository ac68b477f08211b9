#!/usr/bin/env bash
# Sets up what is missing, builds, and runs the agent in the foreground (Ctrl-C ends it).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target keldo-agent
exec build/default/src/agent/keldo-agent
