#!/bin/bash
# Regenerates the UDF disc images in this folder with other people's tools,
# and their facts with udffacts.py (our own minimal reader, independent of the
# C++ code).  The tests use the committed NAME.img.xz, NAME.facts and
# NAME.dir-*.bin files; only this script needs the tools:
#
#   udftools (mkudffs, udfinfo), udfclient, genisoimage, python3-pycdlib
#   (Debian's module, run with /usr/bin/python3), ffmpeg, faketime, xz-utils,
#   p7zip-full
#
# Usage: make-images.sh [NAME...]     (default: every image)
#
# Deterministic as far as the tools allow: every tool runs under faketime with
# the clock frozen at 2024-03-01 12:00:00 UTC, mkudffs gets a fixed UUID,
# pycdlib a fixed random seed, ffmpeg bit-exact flags, and the source files a
# fixed modification time.  Two runs on one machine give identical images,
# except genisoimage-udf.img: genisoimage ends its UDF volume set identifier
# (sectors 32 and 48) with the process's CPU time, which faketime leaves alone.
# Another version of a tool may lay things out differently, so the script
# checks the positions it asks for and fails when a tool did not do as asked.
#
# Content written into the images (see README.md):
#   VR_MANGR.IFO  "DVD_RTR_VMG0" at byte 0; sector k holds "IFO sector %08d"
#                 at byte 16.
#   synthetic VRO each 2048-byte sector k: 00 00 01 BA 44 at byte 0, k as a
#                 32-bit big-endian number at byte 8, "TAG sector %08d" at
#                 byte 16, zeros elsewhere.
#   real VRO      an MPEG-2 program stream from ffmpeg (-f dvd): every sector
#                 starts a pack (00 00 01 BA 44).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
facts_py="$here/udffacts.py"
export TZ=UTC LC_ALL=C
fixed_time='2024-03-01 12:00:00'
uuid=0123456789abcdef

for tool in mkudffs udfinfo udfclient genisoimage ffmpeg faketime xz 7z python3; do
    command -v "$tool" >/dev/null || { echo "make-images.sh: $tool is needed" >&2; exit 1; }
done
/usr/bin/python3 -c 'import pycdlib' || { echo "make-images.sh: python3-pycdlib is needed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

frozen() { faketime -f "$fixed_time" "$@"; }

fail() { echo "make-images.sh: $*" >&2; exit 1; }

# --- source files -----------------------------------------------------------

# ifo FILE SECTORS
ifo() {
    python3 - "$1" "$2" <<'EOF'
import sys
path, n = sys.argv[1], int(sys.argv[2])
b = bytearray(n * 2048)
b[0:12] = b"DVD_RTR_VMG0"
for k in range(n):
    tag = b"IFO sector %08d" % k
    b[k * 2048 + 16:k * 2048 + 16 + len(tag)] = tag
open(path, "wb").write(b)
EOF
}

# synthetic_vro FILE TAG SECTORS
synthetic_vro() {
    python3 - "$1" "$2" "$3" <<'EOF'
import struct, sys
path, tag, n = sys.argv[1], sys.argv[2].encode(), int(sys.argv[3])
b = bytearray(n * 2048)
for k in range(n):
    s = k * 2048
    b[s:s + 5] = b"\x00\x00\x01\xba\x44"
    b[s + 8:s + 12] = struct.pack(">I", k)
    text = tag + b" sector %08d" % k
    b[s + 16:s + 16 + len(text)] = text
open(path, "wb").write(b)
EOF
}

# real_vro FILE VIDEO-SOURCE TONE-HZ SECONDS
real_vro() {
    ffmpeg -v error -nostdin -y -f lavfi -i "$2=size=352x240:rate=30000/1001" \
        -f lavfi -i "sine=frequency=$3:sample_rate=48000" -t "$4" \
        -c:v mpeg2video -b:v 1000k -minrate 1000k -maxrate 1000k -bufsize 1835k -g 15 \
        -c:a ac3 -b:a 96k -fflags +bitexact -flags:v +bitexact -flags:a +bitexact \
        -f dvd "$1"
    python3 - "$1" <<'EOF'
import sys
d = open(sys.argv[1], "rb").read()
assert len(d) % 2048 == 0, "ffmpeg output is not whole sectors"
assert all(d[i:i + 5] == b"\x00\x00\x01\xba\x44" for i in range(0, len(d), 2048)), "a sector does not start a pack"
EOF
}

# text FILE LINE...
text() { local f=$1; shift; printf '%s\n' "$@" >"$f"; }

# labelled FILE BLOCKS TEXT: each 2048-byte block holds "TEXT, block K".
labelled() {
    python3 - "$1" "$2" "$3" <<'EOF'
import sys
path, n, text = sys.argv[1], int(sys.argv[2]), sys.argv[3]
blocks = (("%s, block %d\n" % (text, k)).encode().ljust(2048, b" ") for k in range(n))
open(path, "wb").write(b"".join(blocks))
EOF
}

# zeros FILE BLOCKS
zeros() { head -c $(($2 * 2048)) /dev/zero >"$1"; }

# --- helpers ------------------------------------------------------------------

# udfclient_script IMAGE SOURCE-DIR: runs the commands on standard input in the
# volume's directory, with SOURCE-DIR as the local directory.
udfclient_script() {
    local img=$1 src=$2 vol log
    vol=$(printf 'ls\nquit\n' | frozen udfclient -b 2048 "$img" 2>/dev/null | awk '/^d/ { print $NF; exit }')
    [ -n "$vol" ] || fail "$img: udfclient shows no volume"
    log="$work/udfclient.log"
    { printf 'cd %s\nlcd %s\n' "$vol" "$src"; cat; printf 'quit\n'; } |
        frozen udfclient -W -b 2048 "$img" >"$log" 2>&1 || { cat "$log" >&2; fail "$img: udfclient failed"; }
    if grep -qiE 'error|fail|can.t|couldn|no such|not found|no space|full' "$log"; then
        cat "$log" >&2
        fail "$img: udfclient reported a problem"
    fi
}

# first_block IMAGE PATH: the partition block of the first extent of PATH.
first_block() { python3 "$facts_py" extents "$1" "$2" | awk 'NR == 1 { print $2 }'; }

# extent_runs IMAGE PATH: "FIRST COUNT" per extent of PATH, in blocks.
extent_runs() { python3 "$facts_py" extents "$1" "$2" | awk '{ print $2, int(($3 + 2047) / 2048) }'; }

# finish NAME IMAGE: writes NAME.img.xz, NAME.facts and NAME.dir-*.bin here.
finish() {
    local name=$1 img=$2
    udfinfo "$img" >"$work/$name.udfinfo" 2>&1 || { cat "$work/$name.udfinfo" >&2; fail "$name: udfinfo rejects the image"; }
    rm -f "$here/$name".dir-*.bin
    python3 "$facts_py" facts "$img" "$name" --bindir "$here" >"$here/$name.facts"
    xz -9e -T1 -c "$img" >"$here/$name.img.xz"
    echo "$name: $(stat -c %s "$img") bytes, $(stat -c %s "$here/$name.img.xz") compressed"
}

# --- the images ---------------------------------------------------------------

# UDF 1.02 on a DVD-RAM layout, written by udfclient the way a recorder lays out
# a disc: VR_MANGR.IFO (1360 sectors) from sector 8752, VR_MOVIE.VRO right
# after it from sector 10112, then an erased recording whose blocks are free
# in the bitmap with their data still in place, then a file after that.
make_mkudffs_102() {
    local name=mkudffs-102 src="$work/src-102" img pad ifo_block want=$((8752 - 257))
    mkdir -p "$src"
    text "$src/README.TXT" "Test volume made by mkudffs and udfclient."
    text "$src/NOTE.TXT" "A file in a directory beside DVD_RTAV."
    labelled "$src/AFTER.DAT" 16 "Written after the erased recording"
    ifo "$src/VR_MANGR.IFO" 1360
    synthetic_vro "$src/VR_MOVIE.VRO" MOVIE 2000
    synthetic_vro "$src/ERASED.VRO" ERASED 600
    touch -d "$fixed_time" "$src"/*

    # The padding file's size is measured: one trial, then the corrected run.
    pad=8480
    for attempt in 1 2; do
        img="$work/$name.img"
        rm -f "$img"
        zeros "$src/PADDING.BIN" "$pad"
        touch -d "$fixed_time" "$src/PADDING.BIN"
        frozen mkudffs --new-file --media-type=dvdram --udfrev=0x0102 -b 2048 --uuid=$uuid "$img" 14000 >/dev/null
        udfclient_script "$img" "$src" <<'EOF'
mkdir MISC
cd MISC
put NOTE.TXT
cd ..
put README.TXT
put PADDING.BIN
mkdir DVD_RTAV
cd DVD_RTAV
put VR_MANGR.IFO
put VR_MOVIE.VRO
put ERASED.VRO
cd ..
cd MISC
put AFTER.DAT
EOF
        ifo_block=$(first_block "$img" /DVD_RTAV/VR_MANGR.IFO)
        [ "$ifo_block" = "$want" ] && break
        pad=$((pad + want - ifo_block))
    done
    [ "$ifo_block" = "$want" ] || fail "$name: VR_MANGR.IFO at block $ifo_block, wanted $want"
    [ "$(first_block "$img" /DVD_RTAV/VR_MOVIE.VRO)" = $((10112 - 257)) ] || fail "$name: VR_MOVIE.VRO not at sector 10112"
    extent_runs "$img" /DVD_RTAV/ERASED.VRO >"$work/erased.want"

    udfclient_script "$img" "$src" <<'EOF'
cd DVD_RTAV
rm ERASED.VRO
EOF
    finish "$name" "$img"
    check_erased "$name"
}

# UDF 2.01 (or REVISION, 0x0200): Extended File Entries; real MPEG-2 data for
# the recording and for an erased one.
# make_mkudffs_2x NAME REVISION
make_mkudffs_2x() {
    local name=$1 src="$work/src-$1" img="$work/$1.img"
    mkdir -p "$src"
    text "$src/NOTE.TXT" "A file in a directory beside DVD_RTAV."
    ifo "$src/VR_MANGR.IFO" 8
    cp "$src/VR_MANGR.IFO" "$src/VR_MANGR.BUP"
    real_vro "$src/VR_MOVIE.VRO" testsrc 1000 2
    real_vro "$src/ERASED.VRO" smptebars 440 2
    touch -d "$fixed_time" "$src"/*
    rm -f "$img"
    frozen mkudffs --new-file --media-type=dvdram --udfrev="$2" -b 2048 --uuid=$uuid "$img" 12000 >/dev/null
    udfclient_script "$img" "$src" <<'EOF'
mkdir MISC
cd MISC
put NOTE.TXT
cd ..
mkdir DVD_RTAV
cd DVD_RTAV
put VR_MANGR.IFO
put VR_MOVIE.VRO
put ERASED.VRO
put VR_MANGR.BUP
EOF
    extent_runs "$img" /DVD_RTAV/ERASED.VRO >"$work/erased.want"
    udfclient_script "$img" "$src" <<'EOF'
cd DVD_RTAV
rm ERASED.VRO
EOF
    finish "$name" "$img"
    check_erased "$name"
}

# UDF 1.50 on a DVD-RW layout: a sparable partition, metadata on packet
# boundaries, so that the files are split into several extents.
make_mkudffs_dvdrw() {
    local name=mkudffs-dvdrw src="$work/src-rw" img="$work/mkudffs-dvdrw.img"
    mkdir -p "$src"
    ifo "$src/VR_MANGR.IFO" 4
    cp "$src/VR_MANGR.IFO" "$src/VR_MANGR.BUP"
    synthetic_vro "$src/VR_MOVIE.VRO" MOVIE 300
    real_vro "$src/ERASED.VRO" smptebars 440 2
    touch -d "$fixed_time" "$src"/*
    rm -f "$img"
    frozen mkudffs --new-file --media-type=dvdrw --udfrev=0x0150 -b 2048 --uuid=$uuid "$img" 8000 >/dev/null
    udfclient_script "$img" "$src" <<'EOF'
mkdir DVD_RTAV
cd DVD_RTAV
put VR_MANGR.IFO
put VR_MOVIE.VRO
put ERASED.VRO
put VR_MANGR.BUP
EOF
    extent_runs "$img" /DVD_RTAV/ERASED.VRO >"$work/erased.want"
    udfclient_script "$img" "$src" <<'EOF'
cd DVD_RTAV
rm ERASED.VRO
EOF
    finish "$name" "$img"
    check_erased "$name"
}

# check_erased NAME: the erased runs of the facts are the blocks the erased
# file had before rm, merged into runs.
check_erased() {
    local got want
    got=$(awk '$1 == "erased" { print $2, $3 }' "$here/$1.facts")
    want=$(awk 'NR > 1 && $1 == end { end += $2; next } NR > 1 { print start, end - start } { start = $1; end = $1 + $2 } END { if (NR) print start, end - start }' "$work/erased.want")
    [ -n "$got" ] && [ "$got" = "$want" ] || fail "$1: erased runs '$got', the erased file had '$want'"
}

# genisoimage -udf: an ISO 9660 / UDF bridge; -sort puts the recording files
# first and VR_MOVIE.VRO before VR_MANGR.IFO.
make_genisoimage_udf() {
    local name=genisoimage-udf src="$work/src-geniso" img="$work/genisoimage-udf.img"
    mkdir -p "$src/DVD_RTAV" "$src/MISC"
    text "$src/README.TXT" "Test volume made by genisoimage -udf."
    text "$src/MISC/NOTE.TXT" "A file in a directory beside DVD_RTAV."
    ifo "$src/DVD_RTAV/VR_MANGR.IFO" 16
    synthetic_vro "$src/DVD_RTAV/VR_MOVIE.VRO" MOVIE 500
    find "$src" -exec touch -d "$fixed_time" {} +
    printf '%s 30\n%s 20\n' "$src/DVD_RTAV/VR_MOVIE.VRO" "$src/DVD_RTAV/VR_MANGR.IFO" >"$work/sort"
    frozen genisoimage -quiet -udf -V VRTEST -sort "$work/sort" -o "$img" "$src"
    [ "$(first_block "$img" /DVD_RTAV/VR_MOVIE.VRO)" -lt "$(first_block "$img" /DVD_RTAV/VR_MANGR.IFO)" ] ||
        fail "$name: -sort did not put VR_MOVIE.VRO first"
    finish "$name" "$img"
}

# pycdlib: an ISO 9660 / UDF 2.60 bridge.
make_pycdlib_udf() {
    local name=pycdlib-udf src="$work/src-pycdlib" img="$work/pycdlib-udf.img"
    mkdir -p "$src"
    text "$src/README.TXT" "Test volume made by pycdlib."
    ifo "$src/VR_MANGR.IFO" 16
    synthetic_vro "$src/VR_MOVIE.VRO" MOVIE 400
    frozen /usr/bin/python3 - "$src" "$img" <<'EOF'
import random, sys
import pycdlib
random.seed(1)
src, out = sys.argv[1], sys.argv[2]
iso = pycdlib.PyCdlib()
iso.new(interchange_level=3, vol_ident="VRTEST", udf="2.60")
iso.add_directory("/DVD_RTAV", udf_path="/DVD_RTAV")
iso.add_directory("/MISC", udf_path="/MISC")
for rel, iso_name in (("README.TXT", "/README.TXT;1"),):
    iso.add_file(src + "/" + rel, iso_path=iso_name, udf_path="/" + rel)
for rel in ("VR_MANGR.IFO", "VR_MOVIE.VRO"):
    iso.add_file(src + "/" + rel, iso_path="/DVD_RTAV/" + rel + ";1", udf_path="/DVD_RTAV/" + rel)
iso.write(out)
iso.close()
EOF
    finish "$name" "$img"
}

all=(mkudffs-102 mkudffs-200 mkudffs-201 mkudffs-dvdrw genisoimage-udf pycdlib-udf)
[ $# -gt 0 ] || set -- "${all[@]}"
for name in "$@"; do
    case $name in
        mkudffs-102) make_mkudffs_102 ;;
        mkudffs-200) make_mkudffs_2x mkudffs-200 0x0200 ;;
        mkudffs-201) make_mkudffs_2x mkudffs-201 0x0201 ;;
        mkudffs-dvdrw) make_mkudffs_dvdrw ;;
        genisoimage-udf) make_genisoimage_udf ;;
        pycdlib-udf) make_pycdlib_udf ;;
        *) fail "unknown image $name (known: ${all[*]})" ;;
    esac
done
