#!/usr/bin/env bash
# The Debian packages as a user gets them: built by scripts/package.sh (from the default build when
# there is one, as CI's test suite left it), installed with apt, the installed programs run
# (keldo-device --version; keldo-devsim serving a device on a socket of its own, which the
# installed keldo-device lists; the user unit verified and enabled for graphical sessions), then
# removed while keldo-devsim still runs (removing stops nothing) and purged, leaving none of their
# files behind.
# Usage: packaging/check-packages.sh    (as root or with sudo; it installs and removes the packages)
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
sim=""
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# None of their files is left; a directory of theirs only where another package owns it too.
nothing_left() {
  local left=0 path
  for package in keldo keldo-devsim; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || echo not-installed)
    [ "$status" = not-installed ] || fail "$package is $status after the $1"
  done
  while read -r path; do
    if [ -L "$path" ] || { [ -e "$path" ] && [ ! -d "$path" ]; }; then
      echo "left behind: $path"; left=1
    elif [ -d "$path" ] && ! dpkg -S "$path" >/dev/null 2>&1; then
      echo "left behind: $path/"; left=1
    fi
  done <"$work/files"
  [ "$left" = 0 ] || fail "files of the packages are left after the $1"
}
apt() {
  DEBIAN_FRONTEND=noninteractive $sudo apt-get "$@" -y -qq >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get $*"; }
}

[ -f build/default/CMakeCache.txt ] && export KELDO_BUILD_DIR=build/default
scripts/package.sh "$work/debs"
version=$(sed -n 's/^project([^ ]* VERSION \([^ ]*\).*/\1/p' CMakeLists.txt)
for package in keldo keldo-devsim; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    && fail "$package is installed already: this check would remove it"
done

# The packages alone: what they recommend (usbmuxd) is no part of this check.
(cd "$work/debs" && apt install --no-install-recommends ./keldo_*.deb ./keldo-devsim_*.deb)
dpkg -L keldo keldo-devsim | grep -vx "/." | sort -u >"$work/files"

[ "$(command -v keldo-device)" = /usr/bin/keldo-device ] || fail "keldo-device is /usr/bin/keldo-device"
[ "$(keldo-device --version | head -n 1)" = "keldo-device $version" ] || fail "keldo-device --version: $(keldo-device --version)"
[ "$(keldo-agent --version | head -n 1)" = "keldo-agent $version" ] || fail "keldo-agent --version"
for page in keldo-agent keldo-device keldo-devsim; do
  [ "$(man -w "$page")" = "/usr/share/man/man1/$page.1.gz" ] || fail "man $page"
done

/usr/bin/keldo-devsim --socket "$work/usbmuxd" --attach "pkg-0001 usb 9.3 Packaged Phone" </dev/null \
  >"$work/devsim.out" 2>&1 &
sim=$!
for _ in $(seq 100); do grep -q '^attached' "$work/devsim.out" && break; sleep 0.05; done
USBMUXD_SOCKET_ADDRESS="UNIX:$work/usbmuxd" keldo-device list >"$work/list" || fail "keldo-device list: $(cat "$work/list")"
grep -q '^pkg-0001 .*Packaged Phone' "$work/list" || fail "the installed keldo-device lists the device: $(cat "$work/list")"

unit=/usr/lib/systemd/user/keldo-agent.service
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
systemd-analyze --user verify "$unit" || fail "systemd-analyze --user verify $unit"
[ "$(readlink -f /usr/lib/systemd/user/graphical-session.target.wants/keldo-agent.service)" = "$unit" ] \
  || fail "the unit is enabled for graphical-session.target"
grep -qx "ExecStart=/usr/bin/keldo-agent" "$unit" || fail "the unit starts /usr/bin/keldo-agent"

# Removing stops nothing that runs: the simulator serves on.
apt remove keldo keldo-devsim
kill -0 "$sim" || fail "keldo-devsim still runs once its package is removed"
kill "$sim"; wait "$sim" 2>/dev/null || true
sim=""
nothing_left removal

# Purged from installed, as well.
(cd "$work/debs" && apt install --no-install-recommends ./keldo_*.deb ./keldo-devsim_*.deb)
apt purge keldo keldo-devsim
nothing_left purge
echo "ok: $(grep -c . "$work/files") paths installed, run, removed, installed again and purged"
