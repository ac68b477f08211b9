#!/usr/bin/env bash
# Shows a real reminder without a phone: starts keldo-devsim with one demo device ("Demo iPhone",
# iOS 7.1, over USB) on a private usbmuxd socket and runs the agent against it in the foreground.
# Ctrl-C (or SIGTERM) ends both.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target keldo-agent keldo-devsim
dir=$(mktemp -d)
sim=""
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null; rm -rf "$dir"' EXIT
build/default/src/tools/keldo-devsim --socket "$dir/usbmuxd" --attach "demo-0000 usb 7.1 Demo iPhone" \
  </dev/null >"$dir/devsim.out" &
sim=$!
for _ in $(seq 100); do [ -S "$dir/usbmuxd" ] && break; sleep 0.05; done
echo "keldo-devsim: demo device attached on UNIX:$dir/usbmuxd"
USBMUXD_SOCKET_ADDRESS="UNIX:$dir/usbmuxd" build/default/src/agent/keldo-agent
