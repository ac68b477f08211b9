#!/usr/bin/env bash
# Measures the agent on a private session bus with the test notification server, against
# keldo-devsim on a private usbmuxd socket: resident memory after start; wake-ups while idle
# (voluntary context switches of all threads) first with no usbmuxd socket at all, then with the
# simulator serving it and a device attached, then with a stale socket file (the simulator killed
# with SIGKILL leaves it behind, as a killed usbmuxd does); and the time from the simulator's
# attach to the notification's arrival at the server.
# Usage: scripts/measure-agent.sh [idle-seconds]   (default 60, for each of the three idle phases)
# KELDO_BUILD_DIR names a build tree to take the programs from (default build/default, built here).
set -euo pipefail
cd "$(dirname "$0")/.."
idle=${1:-60}
build=${KELDO_BUILD_DIR:-}
if [ -z "$build" ]; then
  build=build/default
  cmake --preset default >/dev/null
  cmake --build --preset default --target keldo-agent keldo-devsim keldo-test-notification-server >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export work idle build
dbus-run-session --config-file="tests/integration/private-session-bus.conf" -- bash -c '
  set -euo pipefail
  "$build/tests/integration/keldo-test-notification-server" >"$work/server.out" & server=$!
  gdbus wait --session --timeout 5 org.freedesktop.Notifications
  # The socket in a directory of its own: the agent watches that directory, and the files
  # written here would wake it.
  mkdir "$work/mux"
  export USBMUXD_SOCKET_ADDRESS="UNIX:$work/mux/usbmuxd"
  KELDO_COUNT_DISPATCHES=1 "$build/src/agent/keldo-agent" 2>"$work/agent.err" & agent=$!
  # Voluntary context switches per thread; a thread that ends within a phase is left out of it
  # (summing over the threads alone would count its switches as negative).
  snapshot() { for t in /proc/$agent/task/*; do echo "${t##*/} $(awk "/^voluntary_ctxt_switches/ {print \$2}" $t/status 2>/dev/null)"; done; }
  idleFor() {
    snapshot >"$work/before"; sleep "$idle"; snapshot >"$work/after"
    awk "NR == FNR {a[\$1] = \$2; next} \$2 != \"\" {n += \$2 - (\$1 in a ? a[\$1] : 0)} END {print n + 0}" "$work/before" "$work/after"
  }
  sleep 1
  echo "resident memory after start: $(grep VmRSS /proc/$agent/status | tr -s " " | cut -d" " -f2-)"
  echo "idle without a usbmuxd socket, ${idle}s: $(idleFor) wake-ups (voluntary context switches, $(ls /proc/$agent/task | wc -l) threads)"

  mkfifo "$work/control"
  "$build/src/tools/keldo-devsim" --socket "$work/mux/usbmuxd" <"$work/control" >"$work/devsim.out" & sim=$!
  exec 3>"$work/control"
  for _ in $(seq 100); do [ -S "$work/mux/usbmuxd" ] && break; sleep 0.05; done
  sleep 1
  echo "attach demo-0000 usb 7.1 Demo iPhone" >&3
  for _ in $(seq 100); do grep -q "^notify 1" "$work/server.out" && break; sleep 0.05; done
  sleep 1
  if [ -n "${KELDO_MEASURE_THREADS:-}" ]; then for t in /proc/$agent/task/*; do echo "$t $(cat $t/comm) $(grep ^voluntary $t/status)"; done; fi
  wakeups=$(idleFor)
  if [ -n "${KELDO_MEASURE_THREADS:-}" ]; then for t in /proc/$agent/task/*; do echo "$t $(cat $t/comm) $(grep ^voluntary $t/status)"; done; fi
  echo "idle with the usbmuxd socket served and a device attached, ${idle}s: $wakeups wake-ups ($(ls /proc/$agent/task | wc -l) threads)"
  echo "resident memory after the reminder: $(grep VmRSS /proc/$agent/status | tr -s " " | cut -d" " -f2-)"
  kill -KILL $sim; wait $sim || true; exec 3>&-
  [ -S "$work/mux/usbmuxd" ] || { echo "the killed simulator took its socket file with it"; exit 1; }
  sleep 2
  echo "idle with a stale usbmuxd socket file (the simulator killed with SIGKILL), ${idle}s: $(idleFor) wake-ups ($(ls /proc/$agent/task | wc -l) threads)"
  kill -TERM $agent; wait $agent || true
  kill $server
'
attached=$(grep -o "^attached [0-9]* demo-0000 at [0-9.]*" "$work/devsim.out" | cut -d" " -f5)
arrived=$(grep -o "^notify 1 at [0-9.]*" "$work/server.out" | cut -d" " -f4)
grep "main loop dispatches" "$work/agent.err" | sed "s/.*: /main-loop dispatches over the whole run: /"
python3 -c "print(f\"attach to notification arrival: {($arrived - $attached) * 1000:.2f} ms\")"
