#!/usr/bin/env bash
# Mutation testing: plants one plausible fault at a time in the code and checks that a test fails.
#
#   scripts/mutate.sh [--check] MUTANTS_FILE [NUMBER...]
#
# Works on the checkout of the current directory (else on this script's own). Each mutant is
# applied in place, the needed targets are rebuilt incrementally in the default preset, the fast
# tests run first and, only when they all pass, the end-to-end ones; a mutant is "caught" when a
# test fails. The file is restored after each mutant and on every exit, Ctrl-C included; build
# nothing else in the same checkout meanwhile, as it would take the mutants in. NUMBERs
# pick mutants by their position in the file (1 is the first mutant). --check only says which
# mutants are stale, without building anything.
#
# MUTANTS_FILE, one mutant a line:
#
#   path | exact text to find | its replacement | what the fault breaks
#
# In the text and its replacement, `\|` is a `|`, `\n` a line break (for a fault that spans
# lines) and `\\` a backslash; blanks around fields are dropped; the replacement may be empty.
# The text must occur exactly once in the file, else the mutant is "stale" and not run. A mutant
# that does not build is "not viable"; neither counts. Lines starting with `#` are comments;
# these settings apply to the mutants below them:
#
#   @build TARGET...    what to rebuild (default: platform_tests device_tool_tests keldo-device keldo-devsim)
#   @unit REGEX         the fast tests, a ctest -R regex (default: every case of the *_tests built)
#   @e2e REGEX          the end-to-end tests, a ctest -R regex, or `none` (default: ^KeldoDevice\.)
#
# Logs of each mutant's build and tests go to build/default/mutants/.
set -euo pipefail

script_root=$(cd "$(dirname "$0")/.." && pwd)
root=$(git rev-parse --show-toplevel 2>/dev/null || echo "$script_root")
check=""
[ "${1:-}" != --check ] || { check=yes; shift; }
[ $# -ge 1 ] || { sed -n '4p' "$0" | sed 's/^# *//' >&2; exit 2; }
mutants_file=$(realpath "$1")
shift
[ -r "$mutants_file" ] || { echo "mutate: cannot read $1" >&2; exit 2; }
picked=" $* "
cd "$root"

build_targets="platform_tests device_tool_tests keldo-device keldo-devsim"
unit_regex=""
e2e_regex='^KeldoDevice\.'
logs=$root/build/default/mutants

if [ -z "$check" ] && [ ! -f build/default/CMakeCache.txt ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  cmake --preset default "${launcher[@]}" >/dev/null
fi
mkdir -p "$logs"

# The file being mutated and its saved copy; put back on every way out. Restoring writes the file
# anew (a new modification time), so that the next build compiles it again. A run killed outright
# (SIGKILL) leaves the copy and the path beside the logs; the next run puts that file back first.
saved=$logs/mutated.orig
mutated=""
restore() {
  if [ -n "$mutated" ]; then
    cat "$saved" >"$mutated"
    mutated=""
    rm -f "$logs/mutated.path"
  fi
}
if [ -f "$logs/mutated.path" ] && [ -f "$saved" ]; then
  mutated=$(cat "$logs/mutated.path")
  echo "mutate: $mutated was left mutated by a run that was killed; put back as it was" >&2
  restore
fi
trap restore EXIT
trap 'restore; echo; echo "mutate: interrupted; files restored" >&2; exit 130' INT TERM

# Replaces the one occurrence of $2 in file $1 by $3, after turning their `\n` and `\\` into a
# line break and a backslash; prints how many occurrences there were.
apply() {
  python3 - "$@" <<'EOF'
import re, sys
path, find, replacement = (sys.argv[1],) + tuple(
    re.sub(r'\\([\\n])', lambda m: '\n' if m.group(1) == 'n' else '\\', field) for field in sys.argv[2:4])
with open(path, 'rb') as f:
    text = f.read()
count = text.count(find.encode())
if count == 1:
    with open(path, 'wb') as f:
        f.write(text.replace(find.encode(), replacement.encode()))
print(count)
EOF
}

build() { cmake --build --preset default -j"$(nproc)" --target $build_targets; }

# The default fast tests: every case of the test programs (named *_tests) among the targets built.
all_unit_tests() {
  local target program suites=""
  for target in $build_targets; do
    [[ $target == *_tests ]] || continue
    program=$(find build/default -name "$target" -type f -perm -u+x | head -1)
    [ -n "$program" ] || continue
    suites+=$("$program" --gtest_list_tests | sed -n 's/^\([A-Za-z0-9_]*\)\..*/\1|/p')
  done
  [ -n "$suites" ] && echo "^(${suites%|})\\."
}

# Runs the tests that the ctest regex $1 names; fails when one fails or none is there.
run_tests() {
  ctest --preset default -j"$(nproc)" --timeout 120 -R "$1" --no-tests=error --stop-on-failure
}
unit_tests() { run_tests "${unit_regex:-$(all_unit_tests)}"; }

# A fault in the code that writes local files can, in a test run as root, replace what a test
# names as a device target (/dev/null) by a plain file: every later verdict would be wrong, and the
# machine's other programs would write into that file. Checked after each mutant; put back when
# it can be, and the run stops.
guard_devices() {
  [ -c /dev/null ] && return 0
  echo "mutate: after mutant $number, /dev/null is no longer the null device" >&2
  if [ "$(id -u)" -eq 0 ] && rm -f /dev/null && mknod -m 666 /dev/null c 1 3; then
    echo "mutate: /dev/null is put back; the run stops (that mutant's verdict can't be trusted)" >&2
  else
    echo "mutate: put it back with: sudo rm /dev/null && sudo mknod -m 666 /dev/null c 1 3" >&2
  fi
  exit 1
}
first_failure() { sed -n '/The following tests FAILED/,$p' "$1" | sed -n '2s/^[[:space:]]*[0-9]* - \([^ ]*\).*/\1/p'; }

# The code as it is must build and pass every test that a mutant's verdict rests on, or every
# mutant would look caught. Each test is run once that way, when the first mutant needs it.
declare -A passed_as_is=()
baseline() {
  local regex names=() name fresh=()
  for regex in "${unit_regex:-$(all_unit_tests)}" "$e2e_regex"; do
    [ "$regex" != none ] || continue
    mapfile -t names < <(ctest --preset default -N -R "$regex" | sed -n 's/^ *Test *#[0-9]*: *//p')
    for name in "${names[@]}"; do
      [ -n "${passed_as_is[$name]:-}" ] || fresh+=("$name")
    done
  done
  [ ${#fresh[@]} -gt 0 ] || return 0
  echo "== the code as it is, with ${#fresh[@]} tests not run on it yet"
  if ! build >>"$logs/baseline.log" 2>&1 || ! run_tests "^($(IFS='|'; echo "${fresh[*]}"))\$" >>"$logs/baseline.log" 2>&1; then
    echo "mutate: the code as it is fails to build or to pass these tests, see $logs/baseline.log" >&2
    exit 1
  fi
  for name in "${fresh[@]}"; do passed_as_is[$name]=yes; done
}

trim() { sed 's/^[[:space:]]*//; s/[[:space:]]*$//' <<<"$1"; }
if [ -z "$check" ] && ! build >"$logs/baseline.log" 2>&1; then
  echo "mutate: the code as it is does not build, see $logs/baseline.log" >&2
  exit 1
fi
number=0 caught=0 counted=0 survivors=()
while IFS= read -r line || [ -n "$line" ]; do
  case "$line" in
    '#'*|'') continue ;;
    '@build '*) build_targets=${line#@build }; continue ;;
    '@unit '*) unit_regex=${line#@unit }; continue ;;
    '@e2e '*) e2e_regex=${line#@e2e }; continue ;;
  esac
  number=$((number + 1))
  [ "$picked" = "  " ] || [[ $picked == *" $number "* ]] || continue
  # Split on the `|` that are not escaped, then unescape them (`\\` and `\n` are left to apply).
  IFS=$'\x01' read -r path find replacement why _ <<<"$(sed 's/\\\\/\x03/g; s/\\|/\x02/g; s/|/\x01/g; s/\x02/|/g; s/\x03/\\\\/g' <<<"$line")"
  path=$(trim "$path") find=$(trim "$find") replacement=$(trim "${replacement:-}") why=$(trim "${why:-}")
  label=$(printf '%3d %s: %s' "$number" "${path#src/}" "${why:-$find}")
  if [ ! -f "$path" ] || [ -z "$find" ]; then
    echo "stale       $label (no such file or no text)"
    continue
  fi
  [ -n "$check" ] || baseline
  cat "$path" >"$saved"
  echo "$path" >"$logs/mutated.path"
  mutated=$path
  count=$(apply "$path" "$find" "$replacement")
  if [ "$count" != 1 ]; then
    restore
    echo "stale       $label (text found $count times)"
    continue
  fi
  if [ -n "$check" ]; then
    restore
    echo "ok          $label"
    continue
  fi
  log=$logs/$number.log
  SECONDS=0
  if ! build >"$log" 2>&1; then
    restore
    echo "not viable  $label (does not build)"
    continue
  fi
  counted=$((counted + 1))
  verdict=""
  if ! unit_tests >>"$log" 2>&1; then
    verdict="caught      $label (by $(first_failure "$log"), ${SECONDS}s)"
  elif [ "$e2e_regex" != none ] && ! run_tests "$e2e_regex" >>"$log" 2>&1; then
    verdict="caught      $label (end to end, by $(first_failure "$log"), ${SECONDS}s)"
  fi
  restore
  guard_devices
  if [ -n "$verdict" ]; then
    caught=$((caught + 1))
    echo "$verdict"
  else
    echo "SURVIVED    $label (${SECONDS}s)"
    survivors+=("$label")
  fi
done <"$mutants_file"

[ -z "$check" ] || exit 0
# The last mutated file is back as it was; leave the build matching it.
build >/dev/null 2>&1 || true
echo "caught $caught of $counted"
[ ${#survivors[@]} -eq 0 ] || printf 'survived: %s\n' "${survivors[@]}"
