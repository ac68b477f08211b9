#!/usr/bin/env bash
# The reminder shown by a real notification daemon (dunst, headless under Xvfb, on a private bus),
# its "Launch" action chosen through dunstctl's context menu, and the launch reaching the agent;
# dunst must see the agent's application name, icon and desktop entry.
# Usage: dunst-launch-test.sh DRIVER
set -euo pipefail
driver=$1
for tool in xvfb-run dunst dunstctl dbus-run-session; do
  command -v "$tool" >/dev/null || { echo "skipping: $tool missing"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat >"$work/pick-launch.sh" <<'PICK'
#!/bin/sh
grep -i launch | head -n 1
PICK
chmod +x "$work/pick-launch.sh"
cat >"$work/dunstrc" <<RC
[global]
dmenu = $work/pick-launch.sh
[urgency_low]
timeout = 0
[urgency_normal]
timeout = 0
[urgency_critical]
timeout = 0
RC

export work driver
xvfb-run -a dbus-run-session --config-file="$(dirname "$0")/private-session-bus.conf" -- bash -c '
  set -u
  dunst -print -config "$work/dunstrc" >"$work/dunst.log" 2>&1 & dunst_pid=$!
  gdbus wait --session --timeout 5 org.freedesktop.Notifications
  "$driver" >"$work/driver.out" 2>"$work/driver.err" & driver_pid=$!
  for i in $(seq 100); do
    [ "$(dunstctl count displayed 2>/dev/null || echo 0)" -ge 1 ] && break
    sleep 0.1
  done
  dunstctl context
  wait $driver_pid; status=$?
  kill $dunst_pid 2>/dev/null
  exit $status
'
echo "driver said:"; cat "$work/driver.out"
grep -qx "launch /Applications/Keldo.app fromAgent" "$work/driver.out"
# dunst -print shows how the daemon took it: under the agent's name, icon and desktop file.
for field in "appname: 'Keldo'" "icon: 'phone'" "desktop_entry: 'keldo-agent'"; do
  grep -qF "$field" "$work/dunst.log" || { echo "dunst did not see $field:"; cat "$work/dunst.log"; exit 1; }
done
