#!/usr/bin/env bash
# Builds the fuzz targets (the `fuzz` preset: clang, libFuzzer, AddressSanitizer + UBSan) and runs
# each one over what parses device input, then prints a table of executions per target.
#
#   scripts/fuzz.sh [--jobs N] [MINUTES] [TARGET...]   # MINUTES each (default 10), corpus kept
#   scripts/fuzz.sh --runs N [TARGET...]               # N executions each from a fixed seed (CI)
#
# A timed run keeps its corpus outside the tree, in ${XDG_CACHE_HOME:-~/.cache}/keldo-fuzz/TARGET,
# and reads the tree's seeds (tests/fuzz/seeds/FOLDER) beside it, so each run starts where the last
# one stopped. A run of --runs writes new inputs to a scratch folder that it removes.
# --jobs N runs N targets at once (default 1); run it under `nice -n 19` on a shared machine.
# A crash (or a time-out, or running out of memory) stops the run: the table names the input that
# did it and the exit status is 1. Inputs that crashed go to .../keldo-fuzz/artifacts/TARGET/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Every target with its seed folder under tests/fuzz/seeds.
all_targets=(
  ReplyFuzzer:reply PlistXmlFuzzer:plist PlistFileFuzzer:bplist UsbmuxFuzzer:usbmux
  LockdownFuzzer:lockdown AfcDictionaryFuzzer:afcdict AfcFuzzer:afc TlsFuzzer:tls AppServicesFuzzer:apps
)

usage() { sed -n '5,6s/^# *//p' "$0" >&2; exit 2; }

minutes=10 runs="" jobs=1
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) [ $# -ge 2 ] || usage; runs=$2; shift 2 ;;
    --jobs) [ $# -ge 2 ] || usage; jobs=$2; shift 2 ;;
    -h|--help) usage ;;
    -*) echo "fuzz: unknown option $1" >&2; usage ;;
    *) break ;;
  esac
done
if [ -z "$runs" ] && [ $# -gt 0 ] && [[ $1 =~ ^[0-9]+([.][0-9]+)?$ ]]; then
  minutes=$1; shift
fi
[[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "fuzz: --jobs takes a positive number" >&2; exit 2; }
[ -z "$runs" ] || [[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "fuzz: --runs takes a positive number" >&2; exit 2; }

chosen=()
if [ $# -eq 0 ]; then
  chosen=("${all_targets[@]}")
else
  for name in "$@"; do
    found=""
    for t in "${all_targets[@]}"; do [ "${t%%:*}" = "$name" ] && found=$t; done
    [ -n "$found" ] || { echo "fuzz: no target $name (there are: ${all_targets[*]%%:*})" >&2; exit 2; }
    chosen+=("$found")
  done
fi

scripts/setup.sh
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake --preset fuzz "${launcher[@]}" >/dev/null
cmake --build --preset fuzz -j"$(nproc)" --target "${chosen[@]%%:*}"

cache=${XDG_CACHE_HOME:-$HOME/.cache}/keldo-fuzz
results=$(mktemp -d)
pids=()
interrupted=""
# The fuzzers themselves are interrupted (each then prints its figures and keeps its corpus).
stop_all() {
  local pid
  for pid in "${pids[@]}"; do pkill -INT -P "$pid" 2>/dev/null || true; done
}
alive() {
  local n=0 pid
  for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && n=$((n + 1)); done
  echo "$n"
}
# Ctrl-C interrupts the fuzzers (each keeps what it found) and still prints the table.
trap 'interrupted=yes; stop_all' INT TERM
trap 'rm -rf "$results"' EXIT

# Runs one target; leaves its log, its exit status and its corpus sizes in the results folder.
run_target() {
  local name=$1 seeds=$root/tests/fuzz/seeds/$2 corpus artifacts limit=()
  if [ -n "$runs" ]; then
    corpus=$(mktemp -d)
    limit=(-runs="$runs" -seed=1)
  else
    corpus=$cache/$name
    limit=(-max_total_time="$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')")
  fi
  artifacts=$cache/artifacts/$name
  mkdir -p "$corpus" "$artifacts"
  find "$corpus" -type f | wc -l >"$results/$name.before"
  local status=0
  build/fuzz/tests/fuzz/"$name" "${limit[@]}" -max_len=4096 -timeout=60 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "$seeds" >"$results/$name.log" 2>&1 || status=$?
  find "$corpus" -type f | wc -l >"$results/$name.after"
  echo "$status" >"$results/$name.status"
  [ -z "$runs" ] || rm -rf "$corpus"
}

# A crash stops the run: no further target starts, those running are interrupted.
crashed() {
  local s
  for s in "$results"/*.status; do
    [ -e "$s" ] && [ "$(cat "$s")" != 0 ] && [ "$(cat "$s")" != 72 ] && return 0
  done
  return 1
}
for t in "${chosen[@]}"; do
  [ -z "$interrupted" ] || break
  if [ -n "$runs" ]; then echo "== ${t%%:*} ($runs runs)"; else echo "== ${t%%:*} ($minutes min)"; fi
  run_target "${t%%:*}" "${t##*:}" &
  pids+=($!)
  while [ "$(alive)" -ge "$jobs" ] && [ -z "$interrupted" ]; do
    wait -n || true
    crashed && { interrupted=yes; stop_all; }
  done
done
while ! wait; do :; done

stat_of() { sed -n "s/^stat::$2: *//p" "$results/$1.log" | tail -1; }
status=0
printf '\n%-20s %14s %10s %16s  %s\n' target executions exec/s corpus result
for t in "${chosen[@]}"; do
  name=${t%%:*}
  [ -e "$results/$name.status" ] || continue
  code=$(cat "$results/$name.status")
  result=ok
  if [ "$code" != 0 ]; then
    input=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$results/$name.log" | tail -1)
    if [ -n "$input" ]; then
      result="FAILED ($(grep -m1 -o 'ERROR: [A-Za-z]*: [a-z-]*\|runtime error: .*' "$results/$name.log" || echo "exit $code")): $input"
    elif [ "$code" = 72 ] || [ "$code" = 130 ]; then
      result=interrupted
    else
      result="FAILED (exit $code), log: $cache/$name.log"
    fi
    [ "$result" = interrupted ] || status=1
    [ -n "$runs" ] || cp "$results/$name.log" "$cache/$name.log"
  fi
  corpus="$(cat "$results/$name.before") -> $(cat "$results/$name.after")"
  [ -z "$runs" ] || corpus=-
  printf '%-20s %14s %10s %16s  %s\n' "$name" "$(stat_of "$name" number_of_executed_units)" \
    "$(stat_of "$name" average_exec_per_sec)" "$corpus" "$result"
  [ "$code" = 0 ] || [ "$result" = interrupted ] || tail -n 40 "$results/$name.log" >&2
done
[ "$status" != 0 ] || [ -z "$interrupted" ] || status=130
exit $status
