#!/bin/bash
# Runs the libFuzzer harnesses for a while each, one after the other.
#
# Usage: fuzz/run-fuzzers.sh [options] SECONDS [HARNESS...]
#   HARNESS             sectorscope, recovery, fixed_layout, rescue, vrsplit_management,
#                       vrsplit_cutter (default: all five)
#   --binary-dir DIR    the built harnesses (fuzz_HARNESS) are in DIR; without
#                       it the fuzz preset is configured and built first
#   --work-dir DIR      keep the corpus copies and findings in DIR (default: a
#                       temporary directory, removed when nothing was found)
#   --merge             afterwards merge what the run found into the corpus in
#                       the repository (only inputs that add coverage)
#
# For each harness: the crash regression inputs (regressions/HARNESS/) run once
# each, then the fuzzer runs for SECONDS on a copy of corpus/HARNESS, so the
# repository's corpus changes only with --merge. Exits non-zero on a finding;
# the inputs that caused it are kept (their paths are printed).
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/.." && pwd)

binary_dir=""
work_dir=""
merge=0
while [ $# -gt 0 ]; do
  case "$1" in
    --binary-dir) binary_dir=$2; shift 2 ;;
    --work-dir) work_dir=$2; shift 2 ;;
    --merge) merge=1; shift ;;
    -h|--help) sed -n '2,17p' "$0"; exit 0 ;;
    -*) echo "run-fuzzers.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
seconds=${1:?usage: run-fuzzers.sh [options] SECONDS [HARNESS...]}
shift
harnesses=("$@")
[ ${#harnesses[@]} -eq 0 ] && harnesses=(sectorscope recovery fixed_layout rescue vrsplit_management vrsplit_cutter)

if [ -z "$binary_dir" ]; then
  (cd "$source_dir" && cmake --preset fuzz > /dev/null && cmake --build --preset fuzz) || exit 2
  binary_dir="$source_dir/build/fuzz/fuzz"
fi

temporary=0
if [ -z "$work_dir" ]; then
  work_dir=$(mktemp -d -t vrs-fuzz-run.XXXXXX)
  temporary=1
fi
mkdir -p "$work_dir"
# The harnesses write the programs' output files under TMPDIR; a crash leaves
# them there, so they go into the work directory too, or into a folder of
# its own in memory where the system has /dev/shm (the rescue engine flushes
# its files at every mapfile save).
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR
  TMPDIR=$(mktemp -d /dev/shm/vrs-fuzz-tmp.XXXXXX)
  echo "output files of the harnesses: $TMPDIR"
else
  export TMPDIR="$work_dir/tmp"
  mkdir -p "$TMPDIR"
fi

# Options shared by every run:
#  -timeout: the slowest valid input (a whole fixed-layout copy) takes well
#            under a second; ten seconds is a hang.
#  -rss_limit_mb: the default 2 GiB; the malloc limit follows it, and stays
#            above the largest allocation the code can make (the 1 GiB
#            bitmap extent), so only memory that builds up is reported.
#  -max_len: room for a few descriptors and directory sectors in full.
common=(-timeout=10 -rss_limit_mb=2048)
status=0
for harness in "${harnesses[@]}"; do
  binary="$binary_dir/fuzz_$harness"
  if [ ! -x "$binary" ]; then
    echo "run-fuzzers.sh: no harness $binary" >&2
    exit 2
  fi
  findings="$work_dir/findings-$harness"
  corpus="$work_dir/corpus-$harness"
  mkdir -p "$findings"
  rm -rf "$corpus"
  mkdir -p "$corpus"
  [ -d "$here/corpus/$harness" ] && cp "$here/corpus/$harness"/* "$corpus"/ 2> /dev/null

  regressions=()
  if [ -d "$here/regressions/$harness" ]; then
    mapfile -t regressions < <(find "$here/regressions/$harness" -type f ! -name '*.md' | sort)
  fi
  if [ ${#regressions[@]} -gt 0 ]; then
    echo "== $harness: ${#regressions[@]} regression inputs"
    if ! "$binary" "${common[@]}" -artifact_prefix="$findings/" "${regressions[@]}" > "$findings/regressions.log" 2>&1; then
      grep -E '==FINDING==|ERROR:|SUMMARY:|Running:' "$findings/regressions.log" | tail -n 5
      echo "FAIL: $harness: a regression input fails again (log: $findings/regressions.log)"
      status=1
      continue
    fi
  fi

  echo "== $harness: fuzzing for $seconds s from $(find "$corpus" -type f | wc -l) corpus inputs"
  "$binary" "${common[@]}" -max_len=65536 -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" > "$findings/fuzz.log" 2>&1
  result=$?
  grep -E '^#[0-9]+[[:space:]]+DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb' \
    "$findings/fuzz.log" | sed 's/^/   /'
  if [ $result -ne 0 ] || compgen -G "$findings/crash-*" > /dev/null || compgen -G "$findings/timeout-*" > /dev/null \
     || compgen -G "$findings/oom-*" > /dev/null || compgen -G "$findings/leak-*" > /dev/null; then
    grep -E '==FINDING==|ERROR:|SUMMARY:|Test unit written' "$findings/fuzz.log" | head -n 5
    echo "FAIL: $harness: finding (log: $findings/fuzz.log; inputs in $findings)"
    status=1
    continue
  fi
  echo "PASS: $harness"
  if [ $merge -eq 1 ]; then
    "$binary" "${common[@]}" -merge=1 "$here/corpus/$harness" "$corpus" > "$findings/merge.log" 2>&1 ||
      { echo "FAIL: $harness: merge (log: $findings/merge.log)"; status=1; }
    grep -E 'MERGE-OUTER: [0-9]+ new files' "$findings/merge.log" | sed 's/^/   /'
  fi
done

rm -rf "$TMPDIR"
if [ $status -eq 0 ] && [ $temporary -eq 1 ]; then
  rm -rf "$work_dir"
fi
exit $status
