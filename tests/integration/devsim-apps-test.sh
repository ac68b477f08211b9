#!/usr/bin/env bash
# Debian's clients of a device's apps against keldo-devsim: ideviceinstaller lists them through
# installation_proxy, and ifuse --documents mounts an app's Documents through house_arrest,
# reads and writes there, and is refused an app that does not share its documents.
# Usage: devsim-apps-test.sh KELDO-DEVSIM
set -euo pipefail
devsim=$1
command -v ideviceinstaller >/dev/null || { echo "no ideviceinstaller"; exit 77; }
dir=$(mktemp -d)
sim=""
mounted=""
unmount=$(command -v fusermount3 || command -v fusermount || true)
trap '[ -n "$mounted" ] && "$unmount" -u "$dir/mnt" 2>/dev/null; [ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
mkdir "$dir/mnt"
mkfifo "$dir/in"
"$devsim" --socket "$dir/usbmuxd" --attach "apps-0001 usb 12.0 Apps Phone" <"$dir/in" >"$dir/devsim.out" &
sim=$!
exec 3>"$dir/in"
for _ in $(seq 200); do grep -q ^attached "$dir/devsim.out" 2>/dev/null && break; sleep 0.05; done
echo "install-private apps-0001 org.example.notes 3.0 Notes" >&3
echo "install apps-0001 org.example.player 2.1 Film Player" >&3
for _ in $(seq 200); do grep -q "^installed org.example.player" "$dir/devsim.out" 2>/dev/null && break; sleep 0.05; done
export USBMUXD_SOCKET_ADDRESS="UNIX:$dir/usbmuxd"
fail() { echo "FAIL: $*"; cat "$dir/devsim.out"; exit 1; }

listed=$(timeout 20 ideviceinstaller -u apps-0001 -l) || fail "ideviceinstaller -l: $listed"
echo "$listed" | grep -qx 'org.example.player, "2.1", "Film Player"' || fail "the player is listed: $listed"
echo "$listed" | grep -qx 'org.example.notes, "3.0", "Notes"' || fail "an app that does not share is listed too: $listed"
[ "$(echo "$listed" | wc -l)" = 4 ] || fail "a header and three apps: $listed"

if [ -z "$unmount" ] || ! command -v ifuse >/dev/null || ! [ -c /dev/fuse ] || ! [ -w /dev/fuse ]; then
  echo "PASS (no ifuse or FUSE: Documents not mounted)"
  exit 0
fi
if ! timeout 20 ifuse -u apps-0001 --documents org.example.player "$dir/mnt" >"$dir/out" 2>&1; then
  grep -qi "permission\|not permitted\|fuse: device not found" "$dir/out" && { echo "mounting is not allowed here"; exit 77; }
  fail "ifuse --documents mounted: $(cat "$dir/out")"
fi
mounted=1
[ -z "$(ls "$dir/mnt")" ] || fail "a new app's Documents are empty: $(ls "$dir/mnt")"
printf 'frames\n' >"$dir/mnt/film.mp4"
mkdir "$dir/mnt/Music"
"$unmount" -u "$dir/mnt" || fail "unmounted"
mounted=""
timeout 20 ifuse -u apps-0001 --container org.example.player "$dir/mnt" || fail "the container mounted"
mounted=1
[ "$(ls "$dir/mnt" | tr '\n' ' ')" = "Documents Library tmp " ] || fail "the container's top: $(ls "$dir/mnt")"
[ "$(cat "$dir/mnt/Documents/film.mp4")" = "frames" ] || fail "what was written is in the app's Documents"
[ -d "$dir/mnt/Documents/Music" ] || fail "a made directory is there"
"$unmount" -u "$dir/mnt"
mounted=""
if timeout 20 ifuse -u apps-0001 --documents org.example.notes "$dir/mnt" >"$dir/out" 2>&1; then
  mounted=1
  fail "an app that does not share its documents was mounted"
fi
grep -q InstallationLookupFailed "$dir/out" || fail "the refusal is the device's: $(cat "$dir/out")"
echo "PASS"
