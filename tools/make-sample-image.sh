#!/bin/bash
# Makes the sample DVD-VR disc image of the README:
#   OUTDIR/sample.img          32 MiB; VR_MOVIE.VRO holds two real recordings (MPEG-2 program
#                              streams of 3 s each) with a hole between them where a third
#                              recording of 5 s was erased: the file keeps its place as an
#                              extent neither allocated nor recorded (it reads as zeros, and
#                              the second recording keeps its address), and its data is still
#                              there, in blocks that the space bitmap marks free.
#   OUTDIR/sample.img.record   what mkvrdisc wrote where
#   OUTDIR/sample.recipe       the recipe
#   OUTDIR/sample-movie.vob    the bytes of VR_MOVIE.VRO through the file system (zeros in the hole)
#   OUTDIR/sample-erased.vob   the erased recording as it lies in the free blocks
#   OUTDIR/sample-kept-1.vob, sample-kept-2.vob   the two recordings that stay
#   OUTDIR/sample-old.ifo      the management file from before the erasure (it describes all
#                              three recordings); a copy of it lies in the free blocks of the
#                              management area, as recorders leave one
# VR_MANGR.IFO is a real management file for the two recordings that stay (Shift-JIS titles,
# recording times), made by mkvrdisc from the streams.
# The streams are made with ffmpeg when it is installed, otherwise taken from tests/data
# (SAMPLE_STREAMS=bundled forces the latter).
# Usage: tools/make-sample-image.sh OUTDIR [MKVRDISC]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
data="$here/../tests/data"
out=${1:?usage: make-sample-image.sh OUTDIR [MKVRDISC]}
mkvrdisc=${2:-$(command -v mkvrdisc || true)}
if [ -z "$mkvrdisc" ] || [ ! -x "$mkvrdisc" ]; then
  echo "make-sample-image.sh: mkvrdisc not found; give its path as the second argument" >&2
  exit 1
fi
mkdir -p "$out"
streams=$(mktemp -d)
trap 'rm -rf "$streams"' EXIT

if [ "${SAMPLE_STREAMS:-}" != bundled ] && command -v ffmpeg > /dev/null; then
  "$data/make-data.sh" --raw "$streams"
  source="made with ffmpeg"
else
  for name in rec-a rec-b rec-c; do xz -dc "$data/$name.vob.xz" > "$streams/$name.vob"; done
  source="bundled"
fi

sectors_of() { echo $(( ($(stat -c %s "$1") + 2047) / 2048 )); }
a=$(sectors_of "$streams/rec-a.vob")
b=$(sectors_of "$streams/rec-b.vob")
c=$(sectors_of "$streams/rec-c.vob")
{ cat "$streams/rec-a.vob"; head -c $((b * 2048)) /dev/zero; cat "$streams/rec-c.vob"; } > "$out/sample-movie.vob"
cp "$streams/rec-b.vob" "$out/sample-erased.vob"
cp "$streams/rec-a.vob" "$out/sample-kept-1.vob"
cp "$streams/rec-c.vob" "$out/sample-kept-2.vob"

# The disc before the erasure: its management file describes all three recordings.
# (Titles are Shift-JIS bytes; %XX is one byte: the second one reads "運動会".)
garden="date=2024-05-18/14:02:11 title=Garden%20party"
sports="date=2024-05-19/10:30:45 title=%89%5E%93%AE%89%EF"
birthday="date=2024-05-20/19:15:00 title=Dad's%2070th"
cat > "$streams/old.recipe" <<RECIPE
sectors 16384
charset sjis
recording $streams/rec-a.vob $garden
recording $streams/rec-b.vob $sports
recording $streams/rec-c.vob $birthday
file /VR_MANGR.IFO content=mangr
RECIPE
"$mkvrdisc" "$streams/old.recipe" "$streams/old.img"
cp "$streams/old.img.ifo" "$out/sample-old.ifo"

movie=10112
hole=$((movie + a))
second=$((hole + b))
cat > "$out/sample.recipe" <<RECIPE
# Sample DVD-VR disc: two recordings in VR_MOVIE.VRO, a third erased between them.
sectors 16384
label SAMPLE_DVDVR
# The reserve sequence at the end of the disc, as many recorders write it.
vds 32 last-16
dir /DVD_RTAV
charset sjis
recording sample-kept-1.vob $garden
recording sample-kept-2.vob $birthday
file /DVD_RTAV/VR_MANGR.IFO content=mangr
file /DVD_RTAV/VR_MOVIE.VRO content=file:sample-movie.vob
extent 0 $movie ${a}s
extent 2 - ${b}s
extent 0 $second $(stat -c %s "$streams/rec-c.vob")
erased $hole content=file:sample-erased.vob
# The older management file, in free blocks of the management area.
erased 8760 content=file:sample-old.ifo
RECIPE

"$mkvrdisc" "$out/sample.recipe" "$out/sample.img"
# The erased recording in the movie area: the last erased run (the record lists them ascending).
read -r _ first count < <(grep '^erased ' "$out/sample.img.record" | tail -n 1)
start=$(awk '$1 == "partition" { print $2 }' "$out/sample.img.record")
echo "$out/sample.img: 16384 sectors; VR_MOVIE.VRO holds 2 recordings of 3 s (sectors $movie-$((hole - 1)) and $second-$((second + c - 1))); an erased recording of 5 s (MPEG-2 program stream, $count sectors) lies in free partition blocks $first-$((first + count - 1)) (sectors $((start + first))-$((start + first + count - 1))); streams $source"
