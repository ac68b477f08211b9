#!/bin/bash
# Measures how long a command takes from start to end, against a peer that does the same: on one
# keldo-devsim device, `keldo-device info --key DeviceName` beside `ideviceinfo -k DeviceName`,
# turn about, and what bash completion of a remote path costs (the keldo-device call it makes).
# Prints the median and the spread of each, and whether the goals hold: keldo-device within 1.5x
# of ideviceinfo or 150 ms, whichever is more; a remote path's completion within 200 ms.
#
#   scripts/measure-start.sh [RUNS] [LINK]
#
# RUNS per command (default 21), LINK as keldo-devsim takes it (default usb2).
# KELDO_BUILD_DIR picks another build (default build/default).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELDO_BUILD_DIR:-$root/build/default}
devsim=$build/src/tools/keldo-devsim
device=$build/src/tools/device/keldo-device
completion=$root/src/tools/device/keldo-device.bash-completion
runs=${1:-21}
link=${2:-usb2}
for program in "$devsim" "$device"; do
    [ -x "$program" ] || { echo "measure-start: build $program first" >&2; exit 1; }
done
command -v ideviceinfo >/dev/null || { echo "measure-start: ideviceinfo is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d /tmp/keldo-start-XXXXXX)
simulator=
cleanup() {
    if [ -n "$simulator" ]; then
        kill "$simulator" 2>/dev/null || true
        wait "$simulator" 2>/dev/null || true
    fi
    exec 3>&- 4<&-
    rm -rf "$work"
}
trap cleanup EXIT

mkfifo "$work/in" "$work/out"
"$devsim" --socket "$work/usbmuxd" --link "$link" --attach "start-0001 usb 16.0 Measured Phone" \
    <"$work/in" >"$work/out" &
simulator=$!
exec 3>"$work/in" 4<"$work/out"
read -r _ <&4 && read -r _ <&4  # "listening ...", "attached ..."
export USBMUXD_SOCKET_ADDRESS=UNIX:$work/usbmuxd

# Each must work before it is timed: a failure that ends early would look fast.
name=$("$device" info --key DeviceName)
peer=$(ideviceinfo -k DeviceName)
[ "$name" = "Measured Phone" ] && [ "$peer" = "Measured Phone" ] || {
    echo "measure-start: the device's name came as \"$name\" and \"$peer\"" >&2
    exit 1
}

# Completion as bash runs it: the function the completion file defines, for "keldo-device ls /D".
# compopt works only while bash completes; here it has nothing to do.
compopt() { :; }
complete_remote() {
    COMP_WORDS=(keldo-device ls /D)
    COMP_CWORD=2
    COMP_LINE="keldo-device ls /D"
    COMP_POINT=${#COMP_LINE}
    _keldo_device
    [ "${#COMPREPLY[@]}" -gt 0 ]
}
# shellcheck source=/dev/null
source "$completion"
PATH=$(dirname "$device"):$PATH
complete_remote || { echo "measure-start: the completion of /D offered nothing" >&2; exit 1; }

now() { date +%s%N; }
ms() {  # runs the command; appends its wall time in milliseconds to the file named first
    local file=$1 start
    shift
    start=$(now)
    "$@" >/dev/null
    echo $((($(now) - start) / 1000)) >>"$file"
}
# Turn about, so that whatever else the machine does falls on both alike.
for ((i = 0; i < runs; i++)); do
    ms "$work/keldo" "$device" info --key DeviceName
    ms "$work/peer" ideviceinfo -k DeviceName
    ms "$work/complete" complete_remote
done

stats() {  # microseconds, one a line -> "median min max" in milliseconds
    sort -n "$1" | awk '{ v[NR] = $1 } END {
        m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.1f %.1f %.1f", m / 1000, v[1] / 1000, v[NR] / 1000 }'
}
read -r keldo kmin kmax <<<"$(stats "$work/keldo")"
read -r peer pmin pmax <<<"$(stats "$work/peer")"
read -r complete cmin cmax <<<"$(stats "$work/complete")"
goal=$(awk -v p="$peer" 'BEGIN { g = 1.5 * p; printf "%.1f", (g > 150 ? g : 150) }')
verdict() { awk -v v="$1" -v g="$2" 'BEGIN { print (v <= g ? "met" : "NOT met") }'; }

echo "link $link, $runs runs each, turn about; milliseconds: median (least - most)"
printf '%-44s %8s  (%s - %s)\n' "keldo-device info --key DeviceName" "$keldo" "$kmin" "$kmax"
printf '%-44s %8s  (%s - %s)\n' "ideviceinfo -k DeviceName" "$peer" "$pmin" "$pmax"
printf '%-44s %8s  (%s - %s)\n' "completion of a remote path (ls /D<Tab>)" "$complete" "$cmin" "$cmax"
echo "keldo-device against ideviceinfo: $(awk -v k="$keldo" -v p="$peer" 'BEGIN { printf "%.2f", k / p }')x;" \
    "goal ${goal} ms: $(verdict "$keldo" "$goal"); completion goal 200 ms: $(verdict "$complete" 200)"
