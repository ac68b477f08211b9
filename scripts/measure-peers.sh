#!/bin/bash
# Measures keldo-device against the peer people use today, ifuse (cp through its mount), side by
# side on one keldo-devsim per modelled link: one large file, a tree of 4 KiB files and one of
# 512 KiB files, each pushed and then pulled by both, start-up included (ifuse's time runs from
# mounting to unmounting, and each pull goes through a fresh mount, so nothing comes from the page
# cache); the bytes each pulled back are compared with those pushed. Then a command's start:
# `keldo-device info --key DeviceName` beside `ideviceinfo -k DeviceName`, turn about.
# Prints a Markdown table with the goals and whether they are met.
#
#   scripts/measure-peers.sh [--quick] [--runs N] [--link LINK]... [-- KELDO-DEVICE-OPTION...]
#
# --quick   a short run: a 16 MiB file, 200 files of 4 KiB, 20 of 512 KiB (default: 64 MiB,
#           1000 and 100)
# --runs N  each transfer N times, the median counts (default 1; a command's start: 11 times)
# --link    the links to measure, as keldo-devsim takes them (default: usb2 and wifi)
# Options after -- go to every keldo-device push and pull (e.g. -- --connections 4).
# Installs ifuse, fuse3 and ideviceinfo when they are missing; mounting needs a usable /dev/fuse.
# Local files live in /dev/shm where there is one. KELDO_BUILD_DIR picks another build.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KELDO_BUILD_DIR:-$root/build/default}
devsim=$build/src/tools/keldo-devsim
device=$build/src/tools/device/keldo-device
mib=64 small=1000 medium=100 runs=1 starts=11
links=() options=()
while [ $# -gt 0 ]; do
    case $1 in
    --quick) mib=16 small=200 medium=20 starts=5 ;;
    --runs) runs=${2:?--runs takes a number}; shift ;;
    --link) links+=("${2:?--link takes a link}"); shift ;;
    --) shift; options=("$@"); break ;;
    *) echo "usage: $0 [--quick] [--runs N] [--link LINK]... [-- KELDO-DEVICE-OPTION...]" >&2; exit 2 ;;
    esac
    shift
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "measure-peers: --runs takes a number from 1" >&2; exit 2; }
[ ${#links[@]} -gt 0 ] || links=(usb2 wifi)
for program in "$devsim" "$device"; do
    [ -x "$program" ] || { echo "measure-peers: build $program first" >&2; exit 1; }
done

# The peers, from Debian, installed only when missing.
missing=()
for p in ifuse fuse3 libimobiledevice-utils; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}" >&2
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
unmount=$(command -v fusermount3 || command -v fusermount)
if ! { [ -c /dev/fuse ] && [ -r /dev/fuse ] && [ -w /dev/fuse ]; }; then
    echo "measure-peers: ifuse needs /dev/fuse, readable and writable by $(id -un)" >&2
    exit 1
fi

base=/tmp
[ -d /dev/shm ] && base=/dev/shm
work=$(mktemp -d "$base/keldo-peers-XXXXXX")
mnt=$work/mnt
mkdir "$mnt"
# shellcheck source=scripts/measure-simulator.sh
source "$root/scripts/measure-simulator.sh"
trap 'if mountpoint -q "$mnt"; then "$unmount" -u "$mnt" || true; fi; stop_simulator; rm -rf "$work"' EXIT

# What is pushed: the large file; 4 KiB files, 100 to a directory; 512 KiB files in one.
mkdir -p "$work/data/small" "$work/data/medium"
head -c "$((mib << 20))" /dev/urandom >"$work/data/large"
for ((i = 0; i < small; i++)); do
    directory=$work/data/small/d$((i / 100))
    [ -d "$directory" ] || mkdir "$directory"
    head -c 4096 /dev/urandom >"$directory/f$i"
done
for ((i = 0; i < medium; i++)); do head -c 524288 /dev/urandom >"$work/data/medium/f$i"; done

calc() { LC_ALL=C awk "BEGIN { printf \"%.${2:-2}f\", ($1) }"; }  # an expression, decimals
# a ratio or share as it counts against a goal: cut, not rounded, so that 1.4996 reads 1.49
truncated() { LC_ALL=C awk "BEGIN { printf \"%.${2:-2}f\", int(($1) * 10 ^ ${2:-2}) / 10 ^ ${2:-2} }"; }
microseconds() {  # runs the command; prints its wall time in microseconds
    local start
    start=$(date +%s%N)
    "$@" >/dev/null || { echo "measure-peers: this failed: $*" >&2; return 1; }
    echo $((($(date +%s%N) - start) / 1000))
}
median() { sort -n | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

keldo() { "$device" -q "${options[@]}" "$@"; }
# ifuse's whole job: mounting (its session and AFC's start), cp, unmounting (what is still
# written goes out).
ifuse_copy() {  # FROM TO, either side under the mount
    ifuse "$mnt" -u "$udid" && cp -r "$1" "$2" && "$unmount" -u "$mnt"
}
same() {  # A B: the same bytes, a file or a tree
    if [ -d "$1" ]; then diff -r "$1" "$2" >/dev/null; else cmp -s "$1" "$2"; fi ||
        { echo "measure-peers: $2 differs from $1" >&2; exit 1; }
}

echo "measure-peers: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) at the start" >&2
rows=()
for link in "${links[@]}"; do
    rm -rf "$work/sim"
    mkdir "$work/sim"
    udid=peers-0001
    start_simulator "$work/sim" "$link" "$udid usb 17.0 Measured Phone" --capacity $((4 << 30))
    cap=$(capacity "$link")

    # A command's start. Each must work before it is timed: a failure that ends early looks fast.
    if [ "$("$device" info --key DeviceName)" != "Measured Phone" ] || [ "$(ideviceinfo -k DeviceName)" != "Measured Phone" ]; then
        echo "measure-peers: the device's name did not come back" >&2
        exit 1
    fi
    : >"$work/start-keldo"
    : >"$work/start-peer"
    for ((i = 0; i < starts; i++)); do  # turn about, so that the machine's other work falls on both
        microseconds "$device" info --key DeviceName >>"$work/start-keldo"
        microseconds ideviceinfo -k DeviceName >>"$work/start-peer"
    done
    k=$(median <"$work/start-keldo")
    p=$(median <"$work/start-peer")
    goal=$(calc "($k <= 1.5 * $p || $k <= 150000) ? 1 : 0" 0)
    rows+=("| a command's start (ifuse's column: \`ideviceinfo -k DeviceName\`) | | $link | $(calc "$k / 1e6" 3) | $(calc "$p / 1e6" 3) | $(truncated "$p / $k") | | within 1.5x or 0.15 s: $([ "$goal" = 1 ] && echo met || echo "NOT met") |")

    keldo mkdir /keldo /ifuse
    for workload in small medium large; do
        case $workload in
        small) what="$small files of 4 KiB" need=3 ;;
        medium) what="$medium files of 512 KiB" need=1.5 ;;
        large) what="one file of $mib MiB" need= ;;
        esac
        for direction in push pull; do : >"$work/$direction-keldo"; : >"$work/$direction-peer"; done
        for ((run = 0; run < runs; run++)); do
            keldo rm -rf "/keldo/$workload" "/ifuse/$workload"
            rm -rf "$work/pulled"
            mkdir -p "$work/pulled/keldo" "$work/pulled/ifuse"
            microseconds keldo push "$work/data/$workload" /keldo >>"$work/push-keldo"
            microseconds ifuse_copy "$work/data/$workload" "$mnt/ifuse/" >>"$work/push-peer"
            microseconds keldo pull "/keldo/$workload" "$work/pulled/keldo" >>"$work/pull-keldo"
            microseconds ifuse_copy "$mnt/ifuse/$workload" "$work/pulled/ifuse/" >>"$work/pull-peer"
            same "$work/data/$workload" "$work/pulled/keldo/$workload"
            same "$work/data/$workload" "$work/pulled/ifuse/$workload"
        done
        for direction in push pull; do
            k=$(median <"$work/$direction-keldo")
            p=$(median <"$work/$direction-peer")
            share='' verdict=''
            if [ "$workload" = large ] && [ "$cap" -gt 0 ]; then
                share="$(truncated "100 * $mib * 1048576 / ($k / 1e6) / $cap" 1)% / $(truncated "100 * $mib * 1048576 / ($p / 1e6) / $cap" 1)%"
                verdict="keldo-device at 90% of the link: $([ "$(calc "$mib * 1048576 / ($k / 1e6) >= 0.9 * $cap" 0)" = 1 ] && echo met || echo "NOT met")"
            elif [ -n "$need" ]; then
                verdict="${need}x: $([ "$(calc "$p >= $need * $k" 0)" = 1 ] && echo met || echo "NOT met")"
            fi
            rows+=("| $what | $direction | $link | $(calc "$k / 1e6") | $(calc "$p / 1e6") | $(truncated "$p / $k") | $share | $verdict |")
        done
    done
    stop_simulator
done
echo "measure-peers: load $(cut -d' ' -f1-3 /proc/loadavg) at the end; $runs run(s) a transfer, $starts a start" >&2

echo "| workload | direction | link | keldo-device s | ifuse s | ifuse s / keldo-device s | link share, keldo-device / ifuse | goal |"
echo "| --- | --- | --- | --- | --- | --- | --- | --- |"
printf '%s\n' "${rows[@]}"
echo
echo "Wall times, start-up included, $runs run(s) a transfer (the median), $starts a command's start, turn about;"
echo "ifuse: mount, \`cp -r\`, unmount, each pull through a fresh mount; a link's share: the file's bytes"
echo "over the whole wall time against the link's modelled rate."
