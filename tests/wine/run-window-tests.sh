#!/bin/bash
# Runs the window of the 64-bit Windows build under wine64 on a virtual screen
# (Xvfb): through the keyboard alone (Start, Stop in the middle, Start again)
# on the sample disc image, then with --start --exit-when-done, and on a drive
# letter that is no drive; the files must be those of vrsalvage.exe
# --recordings byte for byte. Screenshots go to $VRS_ARTIFACT_DIR/window
# (default: WIN64_BUILD_DIR/artifacts/window).
#
#   run-window-tests.sh WIN64_BUILD_DIR HOST_BUILD_DIR
#
# Exit status: 0 when everything matched, 1 on a mismatch, 77 when Wine, Xvfb,
# ImageMagick, xdotool or the native build's mkvrdisc is missing.
set -u
build=$(cd "$1" && pwd) || exit 1
host=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/find-wine.sh"
for tool in xvfb-run import xdotool objdump; do
    command -v "$tool" >/dev/null 2>&1 || command -v "x86_64-w64-mingw32-$tool" >/dev/null 2>&1 || {
        echo "SKIP: $tool not installed (apt-get install xvfb xauth imagemagick xdotool)"
        exit 77
    }
done
if [ -z "$wine" ] || [ -z "$host" ] || [ ! -x "$host/tools/mkvrdisc" ]; then
    echo "SKIP: wine64 or the native build's mkvrdisc missing"
    exit 77
fi
if [ -z "${DISPLAY:-}" ] || [ -z "${VRS_IN_XVFB:-}" ]; then
    VRS_IN_XVFB=1 exec xvfb-run -a -s '-screen 0 1280x900x24' "$0" "$@"
fi
window=$build/vrsalvagew/vrsalvagew.exe
paced=$build/tests/wine/paced_window.exe
console=$build/vrsalvage/vrsalvage.exe
shots=${VRS_ARTIFACT_DIR:-$build/artifacts}/window
mkdir -p "$shots"

tmp=$(mktemp -d -t vrs-window.XXXXXX) || exit 1
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
cleanup() {
    "$wineserver" -k >/dev/null 2>&1
    rm -rf "$tmp"
}
trap cleanup EXIT
mkdir "$WINEPREFIX"
"$wineserver" -p60 </dev/null >/dev/null 2>&1
"$wine" wineboot -i </dev/null >/dev/null 2>&1
SAMPLE_STREAMS=bundled bash "$here/../../tools/make-sample-image.sh" "$tmp/sample" "$host/tools/mkvrdisc" >/dev/null 2>&1 ||
    exit 1
cd "$tmp" || exit 1
timeout 120 "$wine" "$console" --recordings=console sample/sample.img </dev/null >/dev/null 2>&1

passed=0
failed=0
ok() {
    passed=$((passed + 1))
    echo "ok   $1"
}
bad() {
    failed=$((failed + 1))
    echo "FAIL $1"
}
# same_files NAME FOLDER: the recordings and the raw files as vrsalvage.exe wrote them,
# the mapfile's blocks (its comments and status line tell how the runs went), and the
# same report content.
same_files() {
    local list=$tmp/list.${2//\//_} file result=ok
    (cd console && find . -type f \( -name '*.mpg' -o -name 'VR_*' -o -name mapfile \) | sort) >"$list"
    cmp -s "$list" <(cd "$2" && find . -type f \( -name '*.mpg' -o -name 'VR_*' -o -name mapfile \) | sort) ||
        result="different file names"
    while IFS= read -r file; do
        [ "$(basename "$file")" = mapfile ] && continue
        cmp -s "console/$file" "$2/$file" || result="$file differs"
    done <"$list"
    cmp -s <(grep -v '^#' console/disc/mapfile | tail -n +2) <(grep -v '^#' "$2/disc/mapfile" | tail -n +2) ||
        result="the mapfile's blocks differ"
    cmp -s <(python3 "$here/report_content.py" console/report.json) \
        <(python3 "$here/report_content.py" "$2/report.json") || result="report.json differs"
    if [ "$result" = ok ]; then ok "$1"; else bad "$1: $result"; fi
}
# wait_for SECONDS COMMAND...: until COMMAND succeeds.
wait_for() {
    local tries=$(($1 * 10))
    shift
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}
focus_window() {
    local id
    id=$(xdotool search --name 'vrsalvage' 2>/dev/null | head -1)
    [ -n "$id" ] && xdotool windowfocus "$id" 2>/dev/null
}
# The mapfile's status line: "+" once the reading has finished.
mapfile_status() { grep -v '^#' keys/disc/mapfile 2>/dev/null | head -1 | awk '{print $2}'; }

echo "-- the keyboard alone: Start, Stop in the middle, Start again"
VRS_READ_DELAY_MS=40 "$wine" "$paced" sample/sample.img --output=keys </dev/null >/dev/null 2>&1 &
pid=$!
wait_for 30 focus_window || bad "no window appeared"
sleep 1
import -window root "$shots/start.png"
xdotool key Return  # Start has the focus
wait_for 20 test -s keys/disc/mapfile
sleep 1
import -window root "$shots/mid-run.png"
xdotool key Return  # Stop has the focus now
sleep 2
if [ "$(mapfile_status)" != + ] && [ ! -e keys/report.json ]; then
    ok "Stop ends the run before the report, the mapfile kept"
else
    bad "Stop did not stop the run (mapfile status $(mapfile_status))"
fi
sleep 1
import -window root "$shots/stopped.png"
xdotool key Return  # Start again
if wait_for 60 test -s keys/report.json; then ok "Start again finishes the run"; else bad "the run did not finish"; fi
sleep 1
import -window root "$shots/end.png"
same_files "stopped and started again: the files of vrsalvage.exe --recordings" keys
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null

echo "-- --start --exit-when-done, into a folder named in Japanese whose parents are made too"
timeout 120 "$wine" "$window" sample/sample.img --output='録画\2024\誕生日' --start --exit-when-done </dev/null >/dev/null 2>&1
status=$?
if [ "$status" -eq 0 ]; then ok "exit status 0"; else bad "exit status $status"; fi
same_files "the files of vrsalvage.exe --recordings" 録画/2024/誕生日

echo "-- drive E mapped to a file: the console's error, the window still usable"
truncate -s 4M "$tmp/not-a-drive.img"
ln -s "$tmp/not-a-drive.img" "$WINEPREFIX/dosdevices/e::"
timeout 120 "$wine" "$window" E --output=drive-e --start --exit-when-done </dev/null >/dev/null 2>&1
status=$?
if [ "$status" -eq 255 ]; then ok "exit status 255 after the error"; else bad "exit status $status, not 255"; fi
"$wine" "$window" E --output=drive-e --start </dev/null >/dev/null 2>&1 &
pid=$!
wait_for 30 focus_window
sleep 3
import -window root "$shots/drive-error.png"
if kill -0 "$pid" 2>/dev/null; then ok "the window stays after the error"; else bad "the window ended"; fi
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null

echo "-- only system DLLs"
dlls=$(x86_64-w64-mingw32-objdump -p "$window" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z' | sort -u | tr '\n' ' ')
unexpected=$(for dll in $dlls; do
    case $dll in
        kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | comdlg32.dll | shell32.dll | ole32.dll | msvcrt.dll | \
            advapi32.dll | api-ms-win-crt-*) ;;
        *) echo "$dll" ;;
    esac
done)
if [ -z "$unexpected" ]; then ok "imports: $dlls"; else bad "imports $unexpected"; fi

echo "screenshots: $shots"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
