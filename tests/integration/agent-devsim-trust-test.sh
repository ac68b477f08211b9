#!/usr/bin/env bash
# The shipped agent against keldo-devsim's strict devices, end to end on a private session bus:
# a paired device's attach brings the reminder through a session in TLS; a device that trusts no
# one is reminded of all the same (its name and version are public before pairing); and when it is
# paired while attached, through keldo-device and its trust prompt, the agent goes on quietly.
# Usage: agent-devsim-trust-test.sh KELDO-AGENT KELDO-DEVSIM TEST-NOTIFICATION-SERVER KELDO-DEVICE
set -euo pipefail
command -v dbus-run-session >/dev/null || { echo "no dbus-run-session"; exit 77; }
export agent=$1 devsim=$2 server=$3 tool=$4
export dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
dbus-run-session --config-file="$(dirname "$0")/private-session-bus.conf" -- bash -c '
  set -euo pipefail
  mkdir "$dir/mux"
  export USBMUXD_SOCKET_ADDRESS="UNIX:$dir/mux/usbmuxd"
  "$server" >"$dir/server.out" & serverPid=$!
  agentPid="" sim=""
  trap "exec 3>&- 2>/dev/null; kill \$serverPid \${agentPid:-} \${sim:-} 2>/dev/null || true" EXIT
  gdbus wait --session --timeout 5 org.freedesktop.Notifications
  fail() { echo "FAIL: $*"; cat "$dir/agent.err" "$dir/devsim.err"; exit 1; }
  recorded() {
    gdbus call --session --dest org.freedesktop.Notifications --object-path /org/freedesktop/Notifications \
      --method org.keldo.TestNotificationServer.Recorded
  }
  notifications() { grep -c "^notify" "$dir/server.out" || true; }
  awaitNotifications() {
    for _ in $(seq 200); do [ "$(notifications)" -ge "$1" ] && return 0; sleep 0.05; done
    fail "expected $1 notifications, got $(notifications)"
  }
  startAgent() { "$agent" 2>>"$dir/agent.err" & agentPid=$!; }
  stopAgent() { kill -TERM $agentPid; wait $agentPid || fail "the agent ends cleanly"; agentPid=""; }
  # The simulator reads its commands from a pipe that this script holds open.
  mkfifo "$dir/commands"
  "$devsim" --socket "$dir/mux/usbmuxd" <"$dir/commands" >"$dir/devsim.out" 2>"$dir/devsim.err" & sim=$!
  exec 3>"$dir/commands"
  for _ in $(seq 100); do [ -S "$dir/mux/usbmuxd" ] && break; sleep 0.05; done
  tell() { echo "$1" >&3; sleep 0.3; }

  # A paired device: the handle of the agent reads it in a session, which the device runs in TLS.
  startAgent
  tell "attach paired-1 usb 14.0 Paired iPhone"
  awaitNotifications 1
  grep -q "Paired iPhone" <<<"$(recorded)" || fail "the reminder names the paired device: $(recorded)"
  if grep -q "handshake\|certificate" "$dir/devsim.err"; then fail "a TLS handshake failed"; fi
  stopAgent
  tell "detach paired-1"

  # A device that trusts no one: its session is refused, and its public identity reminds.
  startAgent
  sleep 0.5
  tell "attach-unpaired lone-2 usb 12.4 Lone iPhone"
  awaitNotifications 2
  grep -q "Lone iPhone" <<<"$(recorded)" || fail "the reminder names the untrusted device: $(recorded)"
  "$tool" -u lone-2 pair 2>"$dir/pair.err" && fail "pair succeeds before the user trusts"
  grep -q "Trust this computer? Answer on the device, then run pair again" "$dir/pair.err" ||
    fail "pair asks for trust: $(cat "$dir/pair.err")"
  tell "trust lone-2"
  "$tool" -u lone-2 pair >"$dir/pair.out" || fail "pair after trust: $(cat "$dir/pair.out")"
  "$tool" --json -u lone-2 list | grep -q "\"paired\": *true" || fail "list shows the device paired"
  # Paired while attached: the event is passed over, with no second reminder and no log line.
  sleep 1
  [ "$(notifications)" -eq 2 ] || fail "no second reminder after pairing"
  kill -0 $agentPid || fail "the agent lives on after the device is paired"
  if grep -q "Ignoring unknown message\|Failed to create" "$dir/agent.err"; then fail "the agent logged the pairing"; fi
  stopAgent
'
echo PASS
