#!/bin/bash
# Measures keldo-device's push and pull through keldo-devsim on each modelled link, side by side:
# one large file, then a tree of many small files, against the link's own capacity.
#
#   scripts/measure-transfers.sh [MIB] [FILES] [LINK...]
#
# MIB is the large file's size (default 256), FILES the tree's number of files (default 10000,
# 1 KiB each, 100 to a directory), LINK the links to measure (default: none usb2 wifi).
# Local files live in /dev/shm where there is one, so that the disk stays out of it.
# KELDO_BUILD_DIR picks another build (default build/default).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELDO_BUILD_DIR:-$root/build/default}
devsim=$build/src/tools/keldo-devsim
device=$build/src/tools/device/keldo-device
mib=${1:-256}
files=${2:-10000}
shift $(($# < 2 ? $# : 2))
links=("$@")
[ ${#links[@]} -gt 0 ] || links=(none usb2 wifi)
for program in "$devsim" "$device"; do
    [ -x "$program" ] || { echo "measure-transfers: build $program first" >&2; exit 1; }
done

base=/tmp
[ -d /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/keldo-transfers-XXXXXX")
# shellcheck source=scripts/measure-simulator.sh
source "$root/scripts/measure-simulator.sh"
trap 'stop_simulator; rm -rf "$work"' EXIT

# What is pushed: the large file, and the tree.
head -c "$((mib << 20))" /dev/urandom > "$work/large"
mkdir -p "$work/tree"
for ((i = 0; i < files; i++)); do
    directory=$work/tree/d$((i / 100))
    [ -d "$directory" ] || mkdir "$directory"
    head -c 1024 /dev/urandom > "$directory/f$i"
done

# A link's round trip in seconds, as keldo-devsim models it.
round_trip() {
    case $1 in
    usb2) echo 0.0005 ;;
    wifi) echo 0.004 ;;
    */*) calc "2 * ${1%/*} / 1000000" 6 ;;
    *) echo 0 ;;
    esac
}

seconds() {  # runs the command, prints its wall time in seconds
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    calc "$end - $start" 6
}
calc() { LC_ALL=C awk "BEGIN { printf \"%.${2:-1}f\", $1 }"; }  # an expression, decimals

printf '%-6s %8s %8s | %-16s %-16s | %-22s %-22s\n' link "MiB/s" "start s" "push ${mib} MiB" "pull ${mib} MiB" \
    "push $files files" "pull $files files"
for link in "${links[@]}"; do
    rm -rf "$work/sim" "$work/pulled"
    mkdir "$work/sim" "$work/pulled"
    start_simulator "$work/sim" "$link" "measure-0001 usb 9.3 Measured Phone" --capacity $((4 << 30))

    # What any command takes before it moves a byte (waiting for the attach events to settle, a
    # session, AFC's start), the least of three: left out of the rates below.
    startup=
    for _ in 1 2 3; do
        t=$(seconds "$device" stat /)
        if [ -z "$startup" ] || [ "$(calc "$t < $startup" 0)" = 1 ]; then startup=$t; fi
    done
    large_push=$(seconds "$device" -q push "$work/large" /large)
    large_pull=$(seconds "$device" -q pull /large "$work/pulled/large")
    cmp -s "$work/large" "$work/pulled/large" || { echo "measure-transfers: the pulled file differs" >&2; exit 1; }
    tree_push=$(seconds "$device" -q push "$work/tree" /)
    tree_pull=$(seconds "$device" -q pull /tree "$work/pulled")
    [ "$(find "$work/pulled/tree" -type f | wc -l)" -eq "$files" ] || { echo "measure-transfers: files missing" >&2; exit 1; }
    stop_simulator

    cap=$(capacity "$link")
    rtt=$(round_trip "$link")
    large() {  # seconds -> "MiB/s (% of the link)"
        local net rate
        net=$(calc "$1 - $startup" 6)
        rate=$(calc "$mib / $net")
        if [ "$cap" -gt 0 ]; then echo "$rate ($(calc "100 * $mib * 1048576 / $net / $cap" 0)%)"; else echo "$rate"; fi
    }
    tree() {  # seconds -> "files/s (round trips a file)"
        local net
        net=$(calc "$1 - $startup" 6)
        if [ "$cap" -gt 0 ]; then
            echo "$(calc "$files / $net" 0) ($(calc "$net / $files / $rtt") RTT/file)"
        else
            echo "$(calc "$files / $net" 0)"
        fi
    }
    printf '%-6s %8s %8s | %-16s %-16s | %-22s %-22s\n' "$link" "$([ "$cap" -gt 0 ] && calc "$cap / 1048576" || echo "-")" \
        "$(calc "$startup" 2)" "$(large "$large_push")" "$(large "$large_pull")" "$(tree "$tree_push")" "$(tree "$tree_pull")"
done
echo "Rates leave out the start-up column; files of 1 KiB, 100 to a directory; RTT: the link's round trip."
