#!/usr/bin/env bash
# Measures the agent on a private session bus with the test notification server, against
# keldo-devsim on a private usbmuxd socket: resident memory after start; wake-ups while idle
# (voluntary context switches of all threads) first with no usbmuxd socket at all, then with the
# simulator serving it and a device attached; and the time from the simulator's attach to the
# notification's arrival at the server.
# Usage: scripts/measure-agent.sh [idle-seconds]   (default 60, for each of the two idle phases)
set -euo pipefail
cd "$(dirname "$0")/.."
idle=${1:-60}
cmake --preset default >/dev/null
cmake --build --preset default --target keldo-agent keldo-devsim keldo-test-notification-server >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export work idle
dbus-run-session --config-file="tests/integration/private-session-bus.conf" -- bash -c '
  set -euo pipefail
  build/default/tests/integration/keldo-test-notification-server >"$work/server.out" & server=$!
  gdbus wait --session --timeout 5 org.freedesktop.Notifications
  export USBMUXD_SOCKET_ADDRESS="UNIX:$work/usbmuxd"
  KELDO_COUNT_DISPATCHES=1 build/default/src/agent/keldo-agent 2>"$work/agent.err" & agent=$!
  switches() { cat /proc/$agent/task/*/status | awk "/^voluntary_ctxt_switches/ {n += \$2} END {print n}"; }
  sleep 1
  echo "resident memory after start: $(grep VmRSS /proc/$agent/status | tr -s " " | cut -d" " -f2-)"
  before=$(switches); sleep "$idle"; after=$(switches)
  echo "idle without a usbmuxd socket, ${idle}s: $((after - before)) wake-ups (voluntary context switches, $(ls /proc/$agent/task | wc -l) threads)"

  mkfifo "$work/control"
  build/default/src/tools/keldo-devsim --socket "$work/usbmuxd" <"$work/control" >"$work/devsim.out" & sim=$!
  exec 3>"$work/control"
  for _ in $(seq 100); do [ -S "$work/usbmuxd" ] && break; sleep 0.05; done
  sleep 1
  echo "attach demo-0000 usb 7.1 Demo iPhone" >&3
  for _ in $(seq 100); do grep -q "^notify 1" "$work/server.out" && break; sleep 0.05; done
  sleep 1
  if [ -n "${KELDO_MEASURE_THREADS:-}" ]; then for t in /proc/$agent/task/*; do echo "$t $(cat $t/comm) $(grep ^voluntary $t/status)"; done; fi
  before=$(switches); sleep "$idle"; after=$(switches)
  if [ -n "${KELDO_MEASURE_THREADS:-}" ]; then for t in /proc/$agent/task/*; do echo "$t $(cat $t/comm) $(grep ^voluntary $t/status)"; done; fi
  echo "idle with the usbmuxd socket served and a device attached, ${idle}s: $((after - before)) wake-ups ($(ls /proc/$agent/task | wc -l) threads)"
  echo "resident memory after the reminder: $(grep VmRSS /proc/$agent/status | tr -s " " | cut -d" " -f2-)"
  kill -TERM $agent; wait $agent || true
  echo quit >&3; exec 3>&-; wait $sim || true
  kill $server
'
attached=$(grep -o "^attached [0-9]* demo-0000 at [0-9.]*" "$work/devsim.out" | cut -d" " -f5)
arrived=$(grep -o "^notify 1 at [0-9.]*" "$work/server.out" | cut -d" " -f4)
grep "main loop dispatches" "$work/agent.err" | sed "s/.*: /main-loop dispatches over the whole run: /"
python3 -c "print(f\"attach to notification arrival: {($arrived - $attached) * 1000:.2f} ms\")"
