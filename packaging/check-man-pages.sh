#!/usr/bin/env bash
# Each installed program has a man page in DIR that renders without a warning from man's
# formatter (macros, fonts, escapes) and names the version of the build in its footer.
# Usage: check-man-pages.sh VERSION DIR PROGRAM...    (exit 77: man missing)
set -euo pipefail
version=$1 dir=$2; shift 2
command -v man >/dev/null || { echo "skipping: man missing"; exit 77; }
status=0
for program in "$@"; do
  page=$dir/$program.1
  [ -f "$page" ] || { echo "FAIL: no $page"; status=1; continue; }
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "FAIL: $page: $warnings"; status=1; }
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null | tail -n 1 | grep -q "keldo $version" \
    || { echo "FAIL: $page does not name keldo $version"; status=1; }
done
[ "$status" = 0 ] && echo "ok: $*"
exit "$status"
