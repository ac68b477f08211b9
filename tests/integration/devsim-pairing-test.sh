#!/usr/bin/env bash
# Debian's idevicepair against keldo-devsim's trust prompt: pairing waits for the user's answer,
# is denied or asks for the passcode as the user says, and once trusted validates, survives
# detaching and unpairs. A device below iOS 7 is asked to validate its pairing as such devices are.
# Usage: devsim-pairing-test.sh KELDO-DEVSIM
set -euo pipefail
devsim=$1
command -v idevicepair >/dev/null || { echo "no libimobiledevice-utils"; exit 77; }
dir=$(mktemp -d)
sim=""
trap '[ -n "$sim" ] && kill "$sim" 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
mkfifo "$dir/in"
"$devsim" --socket "$dir/usbmuxd" <"$dir/in" >"$dir/devsim.out" 2>"$dir/devsim.err" &
sim=$!
exec 3>"$dir/in"
fail() { echo "FAIL: $*"; cat "$dir/devsim.out" "$dir/devsim.err"; exit 1; }
say() {
  local before; before=$(wc -l <"$dir/devsim.out")
  echo "$*" >&3
  for _ in $(seq 200); do [ "$(wc -l <"$dir/devsim.out")" -gt "$before" ] && return; sleep 0.05; done
  fail "no answer to $*"
}
for _ in $(seq 100); do [ -S "$dir/usbmuxd" ] && break; sleep 0.05; done
export USBMUXD_SOCKET_ADDRESS="UNIX:$dir/usbmuxd"
# idevicepair's words and exit status for each step.
pair() {
  local expected=$1 status=$2; shift 2
  local out code=0
  out=$(timeout 20 idevicepair "$@" 2>&1) || code=$?
  [ "$code" = "$status" ] || fail "idevicepair $*: exit $code, not $status: $out"
  grep -q "$expected" <<<"$out" || fail "idevicepair $*: '$out' does not say '$expected'"
}

say "attach-unpaired shy-0001 usb 12.0 Shy Phone"
pair "is not paired with this host" 1 -u shy-0001 unpair
pair "Please accept the trust dialog" 1 -u shy-0001 pair
pair "Please accept the trust dialog" 1 -u shy-0001 pair
say "deny shy-0001"
pair "the user denied the trust dialog" 1 -u shy-0001 pair
say "lock shy-0001"
say "trust shy-0001"
pair "because a passcode is set" 1 -u shy-0001 pair
say "unlock shy-0001"
pair "SUCCESS: Paired with device shy-0001" 0 -u shy-0001 pair
pair "SUCCESS: Validated pairing with device shy-0001" 0 -u shy-0001 validate
[ "$(timeout 10 ideviceinfo -u shy-0001 -k SerialNumber)" = "SIMshy-0001" ] || fail "a session after pairing"

# Trust and the record outlive the cable; the prompt's answer does not.
say "detach shy-0001"
say "attach shy-0001 usb 12.0 Shy Phone"
pair "SUCCESS: Validated pairing with device shy-0001" 0 -u shy-0001 validate
pair "SUCCESS: Unpaired with device shy-0001" 0 -u shy-0001 unpair
pair "is not paired with this host" 1 -u shy-0001 unpair
pair "Please accept the trust dialog" 1 -u shy-0001 validate

# Below iOS 7 the host asks the device to validate the pairing first. A device attached as paired
# trusts this host. Pairing again brings new certificates (the host makes new ones each time)
# under the trusted SystemBUID, which anyone can claim: the user is asked, and until they answer
# the trusted record goes on working.
say "attach old-0002 usb 6.1 Old Phone"
pair "SUCCESS: Validated pairing with device old-0002" 0 -u old-0002 validate
pair "Please accept the trust dialog" 1 -u old-0002 pair
pair "SUCCESS: Validated pairing with device old-0002" 0 -u old-0002 validate
say "trust old-0002"
pair "SUCCESS: Paired with device old-0002" 0 -u old-0002 pair
pair "SUCCESS: Validated pairing with device old-0002" 0 -u old-0002 validate
[ "$(timeout 10 ideviceinfo -u old-0002 -k ProductVersion)" = "6.1" ] || fail "a session of an old device"
echo "PASS"
