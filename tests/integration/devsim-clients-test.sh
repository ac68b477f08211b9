#!/usr/bin/env bash
# libimobiledevice's own tools, unmodified, against keldo-devsim: they list the simulated devices,
# read their values through lockdownd and copy crash reports over AFC as from real ones.
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

# idevicecrashreport walks the crash report service's directories over AFC, reads each file and its
# information, and (without -k) removes what it copied.
if command -v idevicecrashreport >/dev/null; then
  for network in "" "-n"; do
    udid=usb-0001; [ -n "$network" ] && udid=net-0002
    mkdir -p "$dir/kept$network" "$dir/moved$network" "$dir/again$network"
    timeout 20 idevicecrashreport $network -u $udid -k "$dir/kept$network" >"$dir/out" || fail "idevicecrashreport -k: $(cat "$dir/out")"
    timeout 20 idevicecrashreport $network -u $udid "$dir/moved$network" >"$dir/out" || fail "idevicecrashreport: $(cat "$dir/out")"
    timeout 20 idevicecrashreport $network -u $udid "$dir/again$network" >"$dir/out" || fail "idevicecrashreport again: $(cat "$dir/out")"
    for copy in kept moved; do
      grep -q "^Process: Demo" "$dir/$copy$network/Demo-2024-05-01-101500.ips" || fail "$copy$network: the report's text"
      [ -f "$dir/$copy$network/Retired/Demo-2024-04-01-090000.ips" ] || fail "$copy$network: a report in a subdirectory"
      [ "$(readlink "$dir/$copy$network/LatestCrash-Demo.ips")" = Demo-2024-05-01-101500.ips ] || fail "$copy$network: the link"
    done
    [ -z "$(ls -A "$dir/again$network")" ] || fail "reports that were moved are gone from the device: $(ls -A "$dir/again$network")"
  done
fi
echo "PASS"
