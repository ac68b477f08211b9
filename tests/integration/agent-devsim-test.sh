#!/usr/bin/env bash
# The shipped agent end to end on a private session bus: started before any usbmuxd exists, it
# lives through the simulator's start and restart, and keldo-devsim's attach brings the reminder to
# the test notification server, titled with the device's name. It says its version (--version, and
# in its first log line).
# Usage: agent-devsim-test.sh KELDO-AGENT KELDO-DEVSIM TEST-NOTIFICATION-SERVER
set -euo pipefail
command -v dbus-run-session >/dev/null || { echo "no dbus-run-session"; exit 77; }
export agent=$1 devsim=$2 server=$3
export dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export version=$(sed -n 's/^project([^ ]* VERSION \([^ ]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
[ "$(timeout 5 "$agent" --version | head -n 1)" = "keldo-agent $version" ] || { echo "FAIL: --version"; exit 1; }
dbus-run-session --config-file="$(dirname "$0")/private-session-bus.conf" -- bash -c '
  set -euo pipefail
  mkdir "$dir/mux"
  export USBMUXD_SOCKET_ADDRESS="UNIX:$dir/mux/usbmuxd"
  "$server" >"$dir/server.out" & serverPid=$!
  sim=""
  trap "kill \$serverPid \${agentPid:-} \${sim:-} 2>/dev/null || true" EXIT
  gdbus wait --session --timeout 5 org.freedesktop.Notifications
  "$agent" 2>"$dir/agent.err" & agentPid=$!
  fail() { echo "FAIL: $*"; cat "$dir/agent.err"; exit 1; }
  startSim() {
    "$devsim" --socket "$dir/mux/usbmuxd" "$@" </dev/null >>"$dir/devsim.out" & sim=$!
    for _ in $(seq 100); do [ -S "$dir/mux/usbmuxd" ] && break; sleep 0.05; done
  }
  sleep 0.5
  startSim
  sleep 0.5
  kill -TERM $sim; wait $sim || true
  sleep 0.5
  startSim --attach "late-0002 usb 9.1 Late iPhone"
  for _ in $(seq 100); do grep -q "^notify" "$dir/server.out" && break; sleep 0.05; done
  grep -q "^notify" "$dir/server.out" || fail "no notification arrived"
  recorded=$(gdbus call --session --dest org.freedesktop.Notifications --object-path /org/freedesktop/Notifications \
             --method org.keldo.TestNotificationServer.Recorded)
  grep -q "Late iPhone" <<<"$recorded" || fail "the reminder names the device: $recorded"
  kill -0 $agentPid || fail "the agent lives through the restart"
  head -n 1 "$dir/agent.err" | grep -q "keldo-agent $version started" || fail "the agent logs its version first"
  kill -TERM $agentPid; wait $agentPid || fail "the agent ends cleanly"
  agentPid=""
'
echo PASS
