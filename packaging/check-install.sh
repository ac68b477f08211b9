#!/usr/bin/env bash
# The login start that an install gives: the user unit lies where systemd reads it for the
# configured prefix, passes `systemd-analyze --user verify`, is enabled for the graphical session,
# and the desktop file named by the notifications' desktop-entry hint comes with it.
# Usage: check-install.sh BUILD_DIR CONFIGURED_PREFIX    (exit 77: systemd-analyze missing)
set -euo pipefail
build=$1
configured_prefix=$2
command -v systemd-analyze >/dev/null || { echo "skipping: systemd-analyze missing"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# No user session here (CI runs as root): systemd-analyze only needs a runtime directory.
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"

systemd-analyze --user unit-paths | grep -qx "$configured_prefix/lib/systemd/user" \
  || { echo "systemd does not read $configured_prefix/lib/systemd/user"; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
unit=$prefix/lib/systemd/user/keldo-agent.service
grep -qx "ExecStart=$prefix/bin/keldo-agent" "$unit" || { echo "ExecStart is not the installed agent"; cat "$unit"; exit 1; }
[ "$(readlink -f "$prefix/lib/systemd/user/graphical-session.target.wants/keldo-agent.service")" = "$(readlink -f "$unit")" ] \
  || { echo "the unit is not enabled for graphical-session.target"; exit 1; }
systemd-analyze --user verify "$unit"

desktop=$prefix/share/applications/keldo-agent.desktop
[ -f "$desktop" ] || { echo "no $desktop"; exit 1; }
if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$desktop"; fi
if find "$prefix" -path '*autostart*' | grep -q .; then echo "an autostart entry would start a second agent"; exit 1; fi
echo "ok"
