#!/usr/bin/env bash
# Sets up what is missing, builds, and runs the agent in the foreground (Ctrl-C ends it).
# With a usbmuxd on this machine (or --real) it watches the real devices; without one (or with
# --demo) it runs scripts/demo.sh: a simulated demo device, so a first run shows a real reminder.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-}
if [ "$mode" = "--demo" ] || { [ "$mode" != "--real" ] && [ -z "${USBMUXD_SOCKET_ADDRESS:-}" ] && [ ! -S /var/run/usbmuxd ]; }; then
  exec scripts/demo.sh
fi
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target keldo-agent
exec build/default/src/agent/keldo-agent
