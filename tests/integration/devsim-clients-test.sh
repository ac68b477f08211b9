#!/usr/bin/env bash
# libimobiledevice's own tools, unmodified, against keldo-devsim: they list the simulated devices,
# read their values in TLS sessions, set the name, read the clock, talk to a service in TLS, and
# copy crash reports over AFC as from real ones; a device that trusts no host shows its identity
# and nothing more.
# Usage: devsim-clients-test.sh KELDO-DEVSIM
set -euo pipefail
devsim=$1
command -v idevice_id >/dev/null && command -v ideviceinfo >/dev/null || { echo "no libimobiledevice-utils"; exit 77; }
dir=$(mktemp -d)
sim=""
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
mkfifo "$dir/in"
"$devsim" --socket "$dir/usbmuxd" --attach "usb-0001 usb 7.1 USB Phone" --attach "net-0002 network 9.3 Net Phone" \
  <"$dir/in" >"$dir/devsim.out" &
sim=$!
exec 3>"$dir/in"
fail() { echo "FAIL: $*"; cat "$dir/devsim.out"; exit 1; }
# Sends a command and waits for its answer.
say() {
  local before; before=$(wc -l <"$dir/devsim.out")
  echo "$*" >&3
  for _ in $(seq 200); do [ "$(wc -l <"$dir/devsim.out")" -gt "$before" ] && return; sleep 0.05; done
  fail "no answer to $*"
}
for _ in $(seq 200); do [ "$(grep -c ^attached "$dir/devsim.out")" = 2 ] && break; sleep 0.05; done
export USBMUXD_SOCKET_ADDRESS="UNIX:$dir/usbmuxd"

[ "$(timeout 10 idevice_id -l)" = "usb-0001" ] || fail "idevice_id -l lists the USB device only"
[ "$(timeout 10 idevice_id -n)" = "net-0002" ] || fail "idevice_id -n lists the network device"
# ideviceinfo starts a session, in TLS: the serial number is given only there.
info=$(timeout 10 ideviceinfo -u usb-0001) || fail "ideviceinfo ran"
grep -qx "DeviceName: USB Phone" <<<"$info" || fail "ideviceinfo shows the name: $info"
grep -qx "ProductVersion: 7.1" <<<"$info" || fail "ideviceinfo shows the version: $info"
grep -qx "SerialNumber: SIMusb-0001" <<<"$info" || fail "ideviceinfo reads in a session: $info"
[ "$(timeout 10 ideviceinfo -n -u net-0002 -k DeviceName)" = "Net Phone" ] || fail "ideviceinfo over the network"
[ "$(timeout 10 ideviceinfo -n -u net-0002 -k SerialNumber)" = "SIMnet-0002" ] || fail "a session over the network"
if timeout 10 ideviceinfo -u nobody-0003 >/dev/null 2>&1; then fail "an absent device is an error"; fi

# The name is set in a session, and keeps its spaces.
timeout 10 idevicename -u usb-0001 "Ada's  Phone" >/dev/null || fail "idevicename sets the name"
[ "$(timeout 10 idevicename -u usb-0001)" = "Ada's  Phone" ] || fail "idevicename reads the name set"
# The device's clock is the host's.
shown=$(timeout 10 idevicedate -u usb-0001) || fail "idevicedate ran"
[ "$(date -d "$shown" +%s)" -ge "$(( $(date +%s) - 60 ))" ] || fail "idevicedate shows the time now: $shown"
# The diagnostics relay runs in TLS.
if command -v idevicediagnostics >/dev/null; then
  gestalt=$(timeout 10 idevicediagnostics -u usb-0001 mobilegestalt ProductType) || fail "idevicediagnostics ran"
  grep -q "<string>iPhone4,1</string>" <<<"$gestalt" || fail "the relay answers in TLS: $gestalt"
fi

# A device that trusts no host: its identity, never its serial number, and no session.
say "attach-unpaired lone-0004 usb 12.0 Lone  Phone"
simple=$(timeout 10 ideviceinfo -s -u lone-0004) || fail "ideviceinfo -s of an untrusted device"
grep -qx "DeviceName: Lone  Phone" <<<"$simple" || fail "its name is given, as typed: $simple"
grep -q "^DevicePublicKey: " <<<"$simple" || fail "its key is given: $simple"
if grep -q "SerialNumber" <<<"$simple"; then fail "its serial number is withheld: $simple"; fi
if timeout 10 ideviceinfo -u lone-0004 >"$dir/out" 2>&1; then fail "no session without pairing"; fi
grep -q "Pairing dialog response pending" "$dir/out" || fail "the host is asked to wait for the user: $(cat "$dir/out")"

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
