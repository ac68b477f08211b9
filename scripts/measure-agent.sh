#!/usr/bin/env bash
# Measures the agent on a private session bus with the test notification server: resident memory
# after start, wake-ups while idle over a minute (voluntary context switches and main-loop
# dispatches), and the time from a (demo) attach event to the notification's arrival at the server.
# Usage: scripts/measure-agent.sh [idle-seconds]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
idle=${1:-60}
cmake --preset default >/dev/null
cmake --build --preset default --target keldo-agent keldo-test-notification-server >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/bus.conf" <<CONF
<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
CONF
export work idle
dbus-run-session --config-file="$work/bus.conf" -- bash -c '
  build/default/tests/integration/keldo-test-notification-server >"$work/server.out" & server=$!
  gdbus wait --session --timeout 5 org.freedesktop.Notifications
  KELDO_DEMO_DEVICE=1 KELDO_COUNT_DISPATCHES=1 build/default/src/agent/keldo-agent 2>"$work/agent.err" & agent=$!
  sleep 1
  echo "resident memory after start: $(grep VmRSS /proc/$agent/status | tr -s " " | cut -d" " -f2-)"
  sleep 2.5
  switches() { cat /proc/$agent/task/*/status | awk "/^voluntary_ctxt_switches/ {n += \$2} END {print n}"; }
  echo "threads: $(ls /proc/$agent/task | wc -l)"
  before=$(switches)
  sleep "$idle"
  after=$(switches)
  echo "voluntary context switches (all threads) while idle for ${idle}s: $((after - before))"
  echo "resident memory after the reminder: $(grep VmRSS /proc/$agent/status | tr -s " " | cut -d" " -f2-)"
  kill -TERM $agent; wait $agent
  kill $server
'
attached=$(grep -o "attached at [0-9.]*" "$work/agent.err" | cut -d" " -f3)
arrived=$(grep -o "^notify 1 at [0-9.]*" "$work/server.out" | cut -d" " -f4)
grep "main loop dispatches" "$work/agent.err" | sed "s/.*: /main-loop dispatches over the whole run: /"
python3 -c "print(f\"attach to notification arrival: {($arrived - $attached) * 1000:.2f} ms\")"
