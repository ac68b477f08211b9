#!/usr/bin/env bash
# A usbmuxd that accepts every connection and closes it at once (one at its connection bound)
# crashes neither keldo-device nor the agent: each command ends with an answer, watch and the
# agent keep waiting for devices, and the agent ends cleanly when asked.
# Usage: usbmuxd-closes-at-once-test.sh KELDO-DEVICE KELDO-AGENT
set -euo pipefail
device=$1 agent=$2
dir=$(mktemp -d)
closer=""
trap '[ -n "$closer" ] && kill "$closer" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*"; cat "$dir/err" 2>/dev/null; exit 1; }

python3 - "$dir/usbmuxd" <<'PY' &
import socket, sys
server = socket.socket(socket.AF_UNIX)
server.bind(sys.argv[1])
server.listen(128)
while True:
    server.accept()[0].close()
PY
closer=$!
for _ in $(seq 100); do [ -S "$dir/usbmuxd" ] && break; sleep 0.05; done
export USBMUXD_SOCKET_ADDRESS="UNIX:$dir/usbmuxd"

# Ends by itself with a status of its own (not a signal), or is still waiting when stopped.
check() {
  local expect=$1; shift
  set +e
  timeout 4 "$device" "$@" >"$dir/out" 2>"$dir/err"
  local status=$?
  set -e
  if [ "$expect" = waits ]; then
    [ "$status" -eq 124 ] || fail "keldo-device $* still waits after 4 s (status $status)"
  else
    [ "$status" -lt 124 ] || fail "keldo-device $* ends with a status of its own (status $status)"
  fi
}
check ends list
check ends ls /
check ends --wait 2 ls /
check waits watch

# The agent: it needs a session bus to start.
command -v dbus-run-session >/dev/null || { echo "no dbus-run-session: the agent is not tried"; exit 77; }
export agent dir
dbus-run-session --config-file="$(dirname "$0")/private-session-bus.conf" -- bash -c '
  "$agent" 2>"$dir/err" & pid=$!
  sleep 3
  kill -0 $pid || { echo "FAIL: the agent lives"; cat "$dir/err"; exit 1; }
  kill -TERM $pid; wait $pid || { echo "FAIL: the agent ends cleanly ($?)"; cat "$dir/err"; exit 1; }
'
echo PASS
