#!/usr/bin/env bash
# ddrescuelog accepts the mapfiles that formatRescueMap writes and finds in
# them exactly the bad sectors they were written with.
# Usage: ddrescuelog_test.sh WRITE_MAP
set -euo pipefail
write_map=$1
command -v ddrescuelog > /dev/null || { echo "ddrescuelog is missing (Debian package gddrescue)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
# check NAME "BAD SECTORS" BLOCKS...: the blocks, as write_map takes them, hold
# exactly the bad sectors listed.
check() {
  local name=$1 bad=$2
  shift 2
  "$write_map" "$@" > "$work/$name.map"
  if ! ddrescuelog -t "$work/$name.map" > "$work/$name.totals" 2>&1; then
    echo "FAIL $name: ddrescuelog -t refused the mapfile:"
    cat "$work/$name.totals" "$work/$name.map"
    failures=$((failures + 1))
    return
  fi
  local listed expected
  listed=$(ddrescuelog -b 2048 -l- "$work/$name.map" | tr '\n' ' ')
  expected=$(for s in $bad; do echo "$s"; done | tr '\n' ' ')
  if [ "$listed" != "$expected" ]; then
    echo "FAIL $name: ddrescuelog lists bad sectors '$listed', expected '$expected'"
    cat "$work/$name.map"
    failures=$((failures + 1))
  fi
  # The totals count the same bad bytes.
  local count bytes
  count=$(wc -w <<< "$bad")
  bytes=$(sed -n 's/^ *bad-sector: *\([0-9]*\) B,.*/\1/p' "$work/$name.totals")
  if [ "$bytes" != "$((count * 2048))" ]; then
    echo "FAIL $name: ddrescuelog -t counts $bytes bad bytes, expected $((count * 2048))"
    failures=$((failures + 1))
  fi
}

check all-good "" +:0:100
check one-bad "7" +:0:7 -:7:1 +:8:92
check neighbours-merged "3 4 5 6" +:0:3 -:3:1 -:4:1 -:5:2 +:7:1 +:8:2
check gaps-non-tried "10 11 40" -:10:2 +:20:5 -:40:1 +:41:9
check every-status "1 9" '?:0:1' -:1:1 '*:2:3' /:5:4 -:9:1 +:10:6
check last-of-a-full-disc "2298495" +:0:2298495 -:2298495:1
check beyond-4-gib "3000000 3000001" +:0:3000000 -:3000000:2 +:3000002:10

[ "$failures" -eq 0 ] && echo "ddrescuelog accepts every mapfile"
exit $((failures > 0))
