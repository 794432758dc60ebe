#!/bin/bash
# tools/make-sample-image.sh makes the README's sample: its one line of output is compared
# byte for byte (bundled streams), the erased recording lies in the image where the record
# says, byte for byte, and still decodes as 5 s of MPEG-2; libudfread reads the movie file as
# the two kept recordings with zeros in the erased one's place, and 7-Zip (which refuses a file
# with such a place) extracts the management file. Then the same with streams made by ffmpeg,
# where it is installed.
set -u
mkvrdisc=${1:?usage: test_sample.sh MKVRDISC}
here=$(cd "$(dirname "$0")" && pwd)
script="$here/../../tools/make-sample-image.sh"
data="$here/../data"
work="$PWD/work-sample"
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failed=0
passed=0
check() {  # DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else echo "FAIL: $what"; failed=$((failed + 1)); fi
}

erased_bytes() {  # OUTDIR: the erased sectors, read straight from the image
  local start first count
  start=$(awk '$1 == "partition" { print $2 }' "$1/sample.img.record")
  read -r _ first count < <(grep '^erased ' "$1/sample.img.record" | tail -n 1)  # the movie area's run
  dd if="$1/sample.img" bs=2048 skip=$((start + first)) count="$count" status=none
}

decodes_5s() {  # FILE
  local d
  d=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$1") || return 1
  awk -v d="$d" 'BEGIN { exit !(d > 4.8 && d < 5.2) }'
}

SAMPLE_STREAMS=bundled "$script" out "$mkvrdisc" > bundled.txt 2> bundled.err
check "make-sample-image.sh (bundled) exit status" test $? -eq 0
check "no messages on standard error" test ! -s bundled.err
check "output line equals sample.golden" cmp -s bundled.txt "$here/sample.golden"
xz -dc "$data/rec-b.vob.xz" > rec-b.vob
xz -dc "$data/rec-a.vob.xz" > movie.vob
head -c "$(stat -c %s rec-b.vob)" /dev/zero >> movie.vob
xz -dc "$data/rec-c.vob.xz" >> movie.vob
erased_bytes out > erased.vob
check "erased sectors hold the bundled 5 s recording" cmp -s erased.vob rec-b.vob
check "sample-erased.vob is that recording" cmp -s out/sample-erased.vob rec-b.vob
check "sample-movie.vob is the two kept recordings and the hole" cmp -s out/sample-movie.vob movie.vob
check "the erased blocks are free" awk '
  $1 == "free" { f[n++] = $2 " " $3 }
  $1 == "erased" { e = $2; c = $3 }
  END { for (i = 0; i < n; i++) { split(f[i], r, " "); if (e >= r[1] && e + c <= r[1] + r[2]) exit 0 } exit 1 }' \
  out/sample.img.record
size=$(stat -c %s out/sample.img)
check "sample.img is 32 MiB" test "$size" -eq $((16384 * 2048))

if command -v 7z > /dev/null; then
  7z x -tudf -y -ox out/sample.img DVD_RTAV/VR_MANGR.IFO > 7z.log 2>&1
  check "7z extracts the management file" test $? -eq 0
  check "7z: VR_MANGR.IFO is the one made" cmp -s x/DVD_RTAV/VR_MANGR.IFO out/sample.img.ifo
else
  echo "note: 7z is not installed; the extraction check is left out"
fi
movie_through_udfread() {  # IMAGE
  PYTHONPATH="$here" python3 -c 'import sys, builder_lib
data = builder_lib.UdfRead().read(sys.argv[1], ["/DVD_RTAV/VR_MOVIE.VRO"])["/DVD_RTAV/VR_MOVIE.VRO"]
sys.stdout.buffer.write(data or b"")' "$1"
}
movie_through_udfread out/sample.img > udfread.vob
check "libudfread: VR_MOVIE.VRO is the two kept recordings and the hole" cmp -s udfread.vob movie.vob
if command -v ffprobe > /dev/null; then
  check "the erased recording decodes as 5 s" decodes_5s erased.vob
else
  echo "note: ffprobe is not installed; the decoding check is left out"
fi

if command -v ffmpeg > /dev/null; then
  "$script" made "$mkvrdisc" > made.txt 2> made.err
  check "make-sample-image.sh (ffmpeg) exit status" test $? -eq 0
  check "ffmpeg run says so" grep -q 'streams made with ffmpeg$' made.txt
  erased_bytes made > made-erased.vob
  check "erased sectors hold the stream made" cmp -s made-erased.vob made/sample-erased.vob
  check "the stream made decodes as 5 s" decodes_5s made-erased.vob
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
