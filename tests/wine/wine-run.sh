#!/bin/sh
# Runs one Windows program of the 64-bit build under wine64; ctest starts the
# Windows test programs through it (CMAKE_CROSSCOMPILING_EMULATOR).
#
#   wine-run.sh PREFIX PROGRAM.exe [ARGUMENT...]
#   wine-run.sh PREFIX --stop          ends the wine server of PREFIX
#
# PREFIX is a wine prefix directory, made on first use (7-10 s). The wine
# server is kept for 10 s after its last program, so that the next start takes
# milliseconds instead of most of a second, and then ends by itself.
# Exit status: the program's (exit(-1) is 255), or 77 when wine64 is missing.
set -u

if [ $# -lt 2 ]; then
    echo "usage: wine-run.sh PREFIX PROGRAM.exe [ARGUMENT...] | PREFIX --stop" >&2
    exit 2
fi
prefix=$1
shift

. "$(dirname "$0")/find-wine.sh"
if [ -z "$wine" ] || [ -z "$wineserver" ]; then
    echo "wine-run.sh: wine64 or wineserver not found (apt-get install wine64)" >&2
    exit 77
fi

export WINEPREFIX="$prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer and no menu entries in a prefix made for tests.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

if [ "$1" = --stop ]; then
    "$wineserver" -k 2>/dev/null
    exit 0
fi

mkdir -p "$prefix" || exit 2

# A new server, and the system processes that the first program of a server
# starts, get no descriptor of ours: whoever reads our output must not wait
# for them, and the lock (which keeps parallel tests from making the prefix
# twice) must not stay held by them.
start_server() {
    if "$wineserver" -p10 </dev/null >/dev/null 2>&1 9>&- || [ ! -f "$prefix/system.reg" ]; then
        "$wine" wineboot </dev/null >/dev/null 2>&1 9>&-
    fi
}
if command -v flock >/dev/null 2>&1; then
    (
        flock 9
        start_server
    ) 9>>"$prefix/.wine-run.lock"
else
    start_server
fi

exec "$wine" "$@"
