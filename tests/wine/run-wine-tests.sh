#!/bin/bash
# Runs the 64-bit Windows build of vrsalvage and sectorscope, and the output
# file test program, under wine64 in a private prefix, and compares what they
# print (byte for byte, after CR LF has become LF: Windows writes standard
# output in text mode) and their exit status.
#
#   run-wine-tests.sh WIN64_BUILD_DIR [HOST_BUILD_DIR]
#
# With a native build that has mkvrdisc and vrsalvage, the sample disc image
# is salvaged with --recordings by both builds, and the files compared.
#
# Exit status: 0 when everything matched, 1 on a mismatch (shown as a diff)
# or an error, 77 when wine64 or the MinGW compiler is missing.
#
# The prefix maps drive letter E to a disc image file: the drive opens, and
# the SCSI pass-through on it fails (error 50), so no run gets past the first
# command and none reaches a progress line. Drive letter Q is left unmapped.
set -u

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: run-wine-tests.sh WIN64_BUILD_DIR [HOST_BUILD_DIR]" >&2
    exit 1
fi
build=$(cd "$1" 2>/dev/null && pwd) || {
    echo "run-wine-tests.sh: no build directory $1" >&2
    exit 1
}

. "$(dirname "$0")/find-wine.sh"
if [ -z "$wine" ] || [ -z "$wineserver" ]; then
    echo "SKIP: wine64 not installed (apt-get install wine64)"
    exit 77
fi
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
    echo "SKIP: x86_64-w64-mingw32-g++-posix not installed (apt-get install g++-mingw-w64-x86-64-posix)"
    exit 77
fi

find_program() {
    local found
    if [ -f "$build/$1" ]; then
        echo "$build/$1"
        return 0
    fi
    found=$(find "$build" -name "$(basename "$1")" -type f -print -quit)
    if [ -z "$found" ]; then
        echo "run-wine-tests.sh: $(basename "$1") not built in $build" >&2
        return 1
    fi
    echo "$found"
}
vrsalvage=$(find_program vrsalvage/vrsalvage.exe) || exit 1
sectorscope=$(find_program sectorscope/sectorscope.exe) || exit 1
file_seam_test=$(find_program tests/wine/file_seam_test.exe) || exit 1

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
script_start=$(now)

tmp=$(mktemp -d -t vrs-wine.XXXXXX) || exit 1
export WINEPREFIX="$tmp/prefix"
export WINEDEBUG=-all
# No Mono or Gecko installer and no menu entries in a prefix made for tests.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# shellcheck disable=SC2317  # called by the trap
cleanup() {
    "$wineserver" -k >/dev/null 2>&1
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# The server stays between the runs and is ended at the end of the script (or
# 60 s after its last program, should the script itself be killed); it and
# the system processes that the first program starts get none of our
# descriptors, so that nobody reading our output waits for them.
mkdir "$WINEPREFIX"
"$wineserver" -p60 </dev/null >/dev/null 2>&1
echo "$("$wine" --version 2>/dev/null) ($wine)"
prefix_start=$(now)
"$wine" wineboot -i </dev/null >"$tmp/wineboot.log" 2>&1
prefix_end=$(now)
if [ ! -d "$WINEPREFIX/dosdevices" ]; then
    echo "run-wine-tests.sh: wine made no prefix:" >&2
    cat "$tmp/wineboot.log" >&2
    exit 1
fi
echo "prefix made in $(seconds "$prefix_start" "$prefix_end") s"

# E: a disc image; "e::" is the raw device that \\.\E: opens.
truncate -s 4M "$tmp/disc.img"
ln -s "$tmp/disc.img" "$WINEPREFIX/dosdevices/e::"
rm -f "$WINEPREFIX/dosdevices/q:" "$WINEPREFIX/dosdevices/q::"

work="$tmp/work"
files="$tmp/files"
mkdir "$work" "$files"

passed=0
failed=0

# check NAME STATUS TEXT DIRECTORY PROGRAM [ARGUMENT...]
# Runs PROGRAM in DIRECTORY and compares its standard output, CR LF made LF
# (a lone CR stays), with TEXT, and its exit status with STATUS.
check() {
    local name=$1 want_status=$2 want=$3 dir=$4
    shift 4
    local status
    (cd "$dir" && exec "$wine" "$@" </dev/null >"$tmp/raw" 2>"$tmp/stderr")
    status=$?
    sed -z 's/\r\n/\n/g' "$tmp/raw" >"$tmp/actual"
    printf '%s' "$want" >"$tmp/expected"
    if [ "$status" -eq "$want_status" ] && cmp -s "$tmp/expected" "$tmp/actual"; then
        passed=$((passed + 1))
        echo "ok   $name"
        return 0
    fi
    failed=$((failed + 1))
    echo "FAIL $name"
    echo "  exit status $status, expected $want_status"
    echo "  standard output (cat -A: \$ ends a line, ^M is CR):"
    diff -u --label expected --label actual <(cat -A "$tmp/expected") <(cat -A "$tmp/actual") |
        sed 's/^/    /'
    if [ -s "$tmp/stderr" ]; then
        echo "  standard error:"
        sed 's/^/    /' "$tmp/stderr"
    fi
    return 1
}

# same_file NAME EXPECTED ACTUAL
same_file() {
    if cmp "$2" "$3"; then
        passed=$((passed + 1))
        echo "ok   $1"
    else
        failed=$((failed + 1))
        echo "FAIL $1"
    fi
}

usage_vrsalvage=$'parameters: [<switch>] <Drive Letter>\nswitches: -r=only reusable area\n'
usage_sectorscope='parameters: <Drive Letter> <Block Number>'
parameter_error=$'parameter error\n'
cannot_open=$'*** Error!\ncan\'t open device\n'
pass_through_failed=$'*** Error!\nin SendCommand(): DeviceIoControl() failed\nerror code = 50\n'
too_long=$'*** Error!\ndrive argument too long\n'

# A recording file from an earlier run lies in the working directory; no run
# may change it or add a file.
printf 'an earlier copy of the management file\r\n\0\n' >"$work/VR_MANGR.IFO"
cp "$work/VR_MANGR.IFO" "$tmp/VR_MANGR.IFO.before"
ls -A "$work" >"$tmp/work.before"

echo "-- command lines"
check "vrsalvage without argument" 0 "$usage_vrsalvage" "$work" "$vrsalvage"
check "vrsalvage with three arguments" 0 "$usage_vrsalvage" "$work" "$vrsalvage" -r E F
check "sectorscope without argument" 0 "$usage_sectorscope" "$work" "$sectorscope"
check "sectorscope with one argument" 0 "$usage_sectorscope" "$work" "$sectorscope" E
check "sectorscope with three arguments" 0 "$usage_sectorscope" "$work" "$sectorscope" E 0 1
check "vrsalvage -R E (switches are case sensitive)" 2 "$parameter_error" "$work" "$vrsalvage" -R E
check "vrsalvage E -r (switch after the drive)" 2 "$parameter_error" "$work" "$vrsalvage" E -r

printf '%s\n' '-- unmapped drive Q (\\.\Q: does not exist)'
check "vrsalvage Q" 255 "$cannot_open" "$work" "$vrsalvage" Q
check "vrsalvage Q:" 255 "$cannot_open" "$work" "$vrsalvage" Q:
check "vrsalvage -r Q" 255 "$cannot_open" "$work" "$vrsalvage" -r Q
check "sectorscope Q 0" 255 "$cannot_open" "$work" "$sectorscope" Q 0
check "sectorscope Q: 0" 255 "$cannot_open" "$work" "$sectorscope" Q: 0

echo "-- drive E mapped to a disc image file (the pass-through fails)"
check "vrsalvage E" 255 "$pass_through_failed" "$work" "$vrsalvage" E
check "vrsalvage E:" 255 "$pass_through_failed" "$work" "$vrsalvage" E:
check "vrsalvage -r E" 255 "$pass_through_failed" "$work" "$vrsalvage" -r E
check "vrsalvage -r E:" 255 "$pass_through_failed" "$work" "$vrsalvage" -r E:
check "sectorscope E 0" 255 "$pass_through_failed" "$work" "$sectorscope" E 0
check "sectorscope E: 0x10" 255 "$pass_through_failed" "$work" "$sectorscope" E: 0x10

printf '%s\n' '-- device path buffer of 520 bytes: "\\.\" + argument + ":" + NUL'
a514=$(printf 'A%.0s' $(seq 514))
check "514-character argument fits" 255 "$cannot_open" "$work" "$vrsalvage" "$a514"
check "515-character argument is too long" 255 "$too_long" "$work" "$vrsalvage" "${a514}A"
check "515 characters ending in a colon fit" 255 "$cannot_open" "$work" "$vrsalvage" "${a514}:"
check "516 characters ending in a colon are too long" 255 "$too_long" "$work" "$vrsalvage" "${a514}A:"
check "-r with a 515-character argument" 255 "$too_long" "$work" "$vrsalvage" -r "${a514}A"
check "sectorscope with a 515-character argument" 255 "$too_long" "$work" "$sectorscope" "${a514}A" 0

echo "-- working directory after the runs"
ls -A "$work" >"$tmp/work.after"
same_file "no file added or removed" "$tmp/work.before" "$tmp/work.after"
same_file "VR_MANGR.IFO unchanged" "$tmp/VR_MANGR.IFO.before" "$work/VR_MANGR.IFO"

echo "-- output files (file_seam_test)"
# The ramp that "write" writes: byte i is i mod 256.
printf '%b' "$(printf '\\0%03o' $(seq 0 255))" >"$tmp/ramp"
for _ in $(seq 12); do
    cat "$tmp/ramp" "$tmp/ramp" >"$tmp/ramp2"
    mv "$tmp/ramp2" "$tmp/ramp"
done
cp "$tmp/VR_MANGR.IFO.before" "$files/VR_MANGR.IFO"
check "write a new file" 0 $'written 1048576 bytes\n' "$files" "$file_seam_test" write VR_MOVIE.VRO
same_file "written file holds the ramp" "$tmp/ramp" "$files/VR_MOVIE.VRO"
check "write over the file just written" 255 $'*** Error!\ncan\'t open file\n' \
    "$files" "$file_seam_test" write VR_MOVIE.VRO
same_file "written file unchanged" "$tmp/ramp" "$files/VR_MOVIE.VRO"
check "create an existing file (error 80)" 255 $'create error code = 80\n*** Error!\ncan\'t open file\n' \
    "$files" "$file_seam_test" exists VR_MANGR.IFO
same_file "existing file unchanged" "$tmp/VR_MANGR.IFO.before" "$files/VR_MANGR.IFO"
check "open an existing file for input" 0 $'opened\n' "$files" "$file_seam_test" input VR_MOVIE.VRO
check "open a missing file for input" 255 $'*** Error!\ncan\'t open file\n' \
    "$files" "$file_seam_test" input VR_MISSING.BIN
if [ -e "$files/VR_MISSING.BIN" ]; then
    failed=$((failed + 1))
    echo "FAIL opening a missing file for input created it"
fi

echo "-- a disc image file where the drive letter goes (vrsalvage --recordings)"
host=${2:-}
if [ -n "$host" ] && [ -x "$host/tools/mkvrdisc" ] && [ -x "$host/vrsalvage/vrsalvage" ]; then
    here=$(cd "$(dirname "$0")" && pwd)
    SAMPLE_STREAMS=bundled bash "$here/../../tools/make-sample-image.sh" "$tmp/sample" "$host/tools/mkvrdisc" \
        >"$tmp/sample.log" 2>&1 || { cat "$tmp/sample.log"; exit 1; }
    (cd "$tmp" && "$host/vrsalvage/vrsalvage" --recordings=host sample/sample.img >/dev/null)
    (cd "$tmp" && exec "$wine" "$vrsalvage" --recordings=windows sample/sample.img </dev/null >"$tmp/raw" 2>&1)
    status=$?
    if [ "$status" -eq 0 ] && grep -q '^completed' "$tmp/raw"; then
        passed=$((passed + 1))
        echo "ok   vrsalvage --recordings=windows sample/sample.img completed"
    else
        failed=$((failed + 1))
        echo "FAIL vrsalvage --recordings on the image: exit status $status"
        sed 's/^/    /' "$tmp/raw"
    fi
    # Recordings and raw files byte for byte, the report without its times and thumbnails.
    (cd "$tmp/host" && find . -type f \( -name '*.mpg' -o -name 'VR_*' -o -name mapfile \) | sort) >"$tmp/file-list"
    same_file "the same recording and raw files" "$tmp/file-list" \
        <(cd "$tmp/windows" && find . -type f \( -name '*.mpg' -o -name 'VR_*' -o -name mapfile \) | sort)
    while IFS= read -r file; do
        same_file "$file" "$tmp/host/$file" "$tmp/windows/$file"
    done <"$tmp/file-list"
    same_file "report.json" <(python3 "$here/report_content.py" "$tmp/host/report.json") \
        <(python3 "$here/report_content.py" "$tmp/windows/report.json")
else
    echo "skipped: no native build with mkvrdisc and vrsalvage given"
fi

script_end=$(now)
echo "$passed passed, $failed failed; whole script $(seconds "$script_start" "$script_end") s"
if [ "$failed" -ne 0 ]; then
    exit 1
fi
exit 0
