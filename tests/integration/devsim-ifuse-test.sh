#!/usr/bin/env bash
# Debian's ifuse mounts a simulated device's media over AFC: it lists, reads and writes files,
# and what it writes carries the time it was written.
# Usage: devsim-ifuse-test.sh KELDO-DEVSIM
set -euo pipefail
devsim=$1
command -v ifuse >/dev/null || { echo "no ifuse"; exit 77; }
unmount=$(command -v fusermount3 || command -v fusermount) || { echo "no fusermount"; exit 77; }
[ -c /dev/fuse ] && [ -r /dev/fuse ] && [ -w /dev/fuse ] || { echo "no /dev/fuse"; exit 77; }
dir=$(mktemp -d)
sim=""
mounted=""
trap '[ -n "$mounted" ] && "$unmount" -u "$dir/mnt" 2>/dev/null; [ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
mkdir "$dir/mnt"
"$devsim" --socket "$dir/usbmuxd" --attach "media-0001 usb 12.0 Media Phone" </dev/null >"$dir/devsim.out" &
sim=$!
for _ in $(seq 200); do grep -q ^attached "$dir/devsim.out" 2>/dev/null && break; sleep 0.05; done
export USBMUXD_SOCKET_ADDRESS="UNIX:$dir/usbmuxd"
fail() { echo "FAIL: $*"; cat "$dir/devsim.out"; exit 1; }

if ! timeout 20 ifuse -u media-0001 "$dir/mnt" >"$dir/out" 2>&1; then
  # A machine that has /dev/fuse but lets no one mount (a container without the capability).
  grep -qi "permission\|not permitted\|fuse: device not found" "$dir/out" && { echo "mounting is not allowed here"; exit 77; }
  fail "ifuse mounted: $(cat "$dir/out")"
fi
mounted=1
[ "$(ls "$dir/mnt" | tr '\n' ' ')" = "Books DCIM " ] || fail "the media's top: $(ls "$dir/mnt")"
[ "$(cat "$dir/mnt/Books/Welcome.txt")" = "Files on a simulated device." ] || fail "a file is read"
before=$(date +%s)
printf 'written through ifuse\n' >"$dir/mnt/Books/New.txt"
[ "$(cat "$dir/mnt/Books/New.txt")" = "written through ifuse" ] || fail "a written file reads back"
[ "$(stat -c %Y "$dir/mnt/Books/New.txt")" -ge $((before - 1)) ] || fail "a new file carries the time now: $(stat -c %y "$dir/mnt/Books/New.txt")"
"$unmount" -u "$dir/mnt" || fail "unmounted"
mounted=""
# What was written is on the device, seen by the next client.
timeout 20 ifuse -u media-0001 "$dir/mnt" || fail "mounted again"
mounted=1
[ "$(cat "$dir/mnt/Books/New.txt")" = "written through ifuse" ] || fail "the file is kept on the device"
echo "PASS"
