#!/usr/bin/env bash
# Resident memory of the shipped agent over many attach/detach cycles: keldo-devsim attaches and
# detaches one device again and again (its standard-input commands) while the agent, on a private
# session bus with the test notification server, makes a device handle for every attach (connect,
# session, identity values) and drops it on every detach. Prints the agent's RSS at the start,
# after 1,000 cycles and after all of them. The reminder is shown for the first attach only (once
# a day), so the cycles after it exercise the attach path and the backend's device records alone.
# Usage: scripts/measure-attach-memory.sh [cycles]   (default 10000)
# KELDO_BUILD_DIR names a build tree to take the programs from (default build/default, built here).
set -euo pipefail
cd "$(dirname "$0")/.."
cycles=${1:-10000}
build=${KELDO_BUILD_DIR:-}
if [ -z "$build" ]; then
  build=build/default
  cmake --preset default >/dev/null
  cmake --build --preset default --target keldo-agent keldo-devsim keldo-test-notification-server >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export work cycles build
dbus-run-session --config-file="tests/integration/private-session-bus.conf" -- bash -c '
  set -euo pipefail
  "$build/tests/integration/keldo-test-notification-server" >"$work/server.out" & server=$!
  gdbus wait --session --timeout 5 org.freedesktop.Notifications
  # The socket in a directory of its own: the agent watches that directory, and the files
  # written here would wake it.
  mkdir "$work/mux"
  export USBMUXD_SOCKET_ADDRESS="UNIX:$work/mux/usbmuxd"
  coproc SIM { exec "$build/src/tools/keldo-devsim" --socket "$work/mux/usbmuxd" 2>"$work/devsim.err"; }
  sim=$SIM_PID
  read -r -u "${SIM[0]}" listening
  "$build/src/agent/keldo-agent" 2>"$work/agent.err" & agent=$!
  trap "kill $server $agent 2>/dev/null || true" EXIT
  rss() { awk "/^VmRSS/ {print \$2 \" kB\"}" /proc/$agent/status; }
  # One cycle: attach, wait for the answer, detach, wait for the answer. Every 100 cycles the
  # agent is given a moment, so that its queue of events does not grow past what it handles.
  cycle() {
    echo "attach cycle-0001 usb 9.1 Cycle iPhone" >&"${SIM[1]}"; read -r -u "${SIM[0]}" answer
    [[ $answer == attached* ]] || { echo "devsim: $answer" >&2; exit 1; }
    echo "detach cycle-0001" >&"${SIM[1]}"; read -r -u "${SIM[0]}" answer
    [[ $answer == detached* ]] || { echo "devsim: $answer" >&2; exit 1; }
  }
  settle() { sleep 0.05; for _ in $(seq 20); do [ "$(awk "/^State/ {print \$2}" /proc/$agent/status)" = S ] && break; sleep 0.05; done; }
  sleep 1
  echo "resident memory at the start: $(rss)"
  start=$SECONDS
  for ((i = 1; i <= cycles; ++i)); do
    cycle
    if ((i % 100 == 0)); then settle; fi
    if ((i == 1000)); then sleep 1; echo "after 1000 cycles: $(rss)"; fi
  done
  sleep 2
  echo "after $cycles cycles: $(rss) ($((SECONDS - start)) s)"
  kill -0 $agent || { echo "the agent died"; cat "$work/agent.err"; exit 1; }
  kill -TERM $agent; wait $agent || true
  echo quit >&"${SIM[1]}"; wait $sim || true
'
