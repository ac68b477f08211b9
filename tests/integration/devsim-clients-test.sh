#!/usr/bin/env bash
# libimobiledevice's own tools, unmodified, against keldo-devsim: they list the simulated devices
# and read their values through lockdownd as from real ones.
# Usage: devsim-clients-test.sh KELDO-DEVSIM
set -euo pipefail
devsim=$1
command -v idevice_id >/dev/null && command -v ideviceinfo >/dev/null || { echo "no libimobiledevice-utils"; exit 77; }
dir=$(mktemp -d)
sim=""
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
"$devsim" --socket "$dir/usbmuxd" --attach "usb-0001 usb 7.1 USB Phone" --attach "net-0002 network 9.3 Net Phone" \
  </dev/null >"$dir/devsim.out" &
sim=$!
for _ in $(seq 100); do [ -S "$dir/usbmuxd" ] && break; sleep 0.05; done
export USBMUXD_SOCKET_ADDRESS="UNIX:$dir/usbmuxd"
fail() { echo "FAIL: $*"; cat "$dir/devsim.out"; exit 1; }

[ "$(timeout 10 idevice_id -l)" = "usb-0001" ] || fail "idevice_id -l lists the USB device only"
[ "$(timeout 10 idevice_id -n)" = "net-0002" ] || fail "idevice_id -n lists the network device"
info=$(timeout 10 ideviceinfo -u usb-0001) || fail "ideviceinfo ran"
grep -qx "DeviceName: USB Phone" <<<"$info" || fail "ideviceinfo shows the name: $info"
grep -qx "ProductVersion: 7.1" <<<"$info" || fail "ideviceinfo shows the version: $info"
[ "$(timeout 10 ideviceinfo -n -u net-0002 -k DeviceName)" = "Net Phone" ] || fail "ideviceinfo over the network"
if timeout 10 ideviceinfo -u nobody-0003 >/dev/null 2>&1; then fail "an absent device is an error"; fi
echo "PASS"
