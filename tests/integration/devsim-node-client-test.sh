#!/usr/bin/env bash
# A second, independent client against keldo-devsim: the npm package appium-ios-device (pure
# JavaScript, used against real devices by Appium), which scripts/setup.sh installs outside the
# source tree. devsim-node-client.js runs each of its steps that the simulator serves and prints
# "ok NAME" or "FAIL NAME: reason" for each; any failure fails the test.
# Usage: devsim-node-client-test.sh KELDO-DEVSIM
set -euo pipefail
devsim=$1
here=$(cd "$(dirname "$0")" && pwd)
clients=${KELDO_NODE_CLIENTS:-${XDG_CACHE_HOME:-$HOME/.cache}/keldo/node-clients}
command -v node >/dev/null || { echo "no node (scripts/setup.sh installs it)"; exit 77; }
# The client needs Node.js 20.19 or later (Debian 12's own is 18).
node -e 'const [a, b] = process.versions.node.split(".").map(Number); process.exit(a > 20 || (a === 20 && b >= 19) ? 0 : 1)' ||
  { echo "node $(node --version) is older than the client needs (20.19)"; exit 77; }
[ -d "$clients/node_modules/appium-ios-device" ] || { echo "no appium-ios-device in $clients (scripts/setup.sh installs it)"; exit 77; }
dir=$(mktemp -d)
sim=""
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
mkfifo "$dir/in"
"$devsim" --socket "$dir/usbmuxd" --attach "usb-0001 usb 17.0 USB Phone" --attach "net-0002 network 17.0 Net Phone" \
  <"$dir/in" >"$dir/devsim.out" 2>"$dir/devsim.err" &
sim=$!
exec 3>"$dir/in"
echo "attach-unpaired lone-0003 usb 17.0 Lone Phone" >&3
echo "install usb-0001 org.example.player 2.1 Film Player" >&3
echo "install-private usb-0001 org.example.notes 3.0 Notes" >&3
for _ in $(seq 600); do grep -q "^installed org.example.notes" "$dir/devsim.out" 2>/dev/null && break; sleep 0.05; done
[ "$(grep -c ^attached "$dir/devsim.out")" = 3 ] || { echo "FAIL: the simulator attached three devices"; cat "$dir/devsim.out" "$dir/devsim.err"; exit 1; }

if ! USBMUXD_SOCKET_ADDRESS="UNIX:$dir/usbmuxd" NODE_PATH="$clients/node_modules" \
    timeout 300 node "$here/devsim-node-client.js" usb-0001 net-0002 lone-0003 org.example.player org.example.notes; then
  echo "--- keldo-devsim"
  cat "$dir/devsim.out" "$dir/devsim.err"
  exit 1
fi
echo "PASS"
