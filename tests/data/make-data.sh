#!/bin/bash
# Makes the small MPEG-2 program streams kept here (xz-compressed), as a DVD recorder would
# record them: 352x240 at 29.97 frames/s, MPEG-2 video at 300 kbit/s, AC-3 audio, one pack
# per 2048-byte sector.
#   rec-a.vob  3 s of colour bars     (a recording that stays on the disc)
#   rec-b.vob  5 s of a moving test   (a recording that was erased)
#   rec-c.vob  3 s of RGB test bars   (another recording that stays)
#   rec-lpcm.vob  2 s of a moving test with 16-bit LPCM audio, as recorders write in their
#                 best modes
# Usage: tests/data/make-data.sh            rewrites the .xz files beside this script
#        tests/data/make-data.sh --raw DIR  writes the plain .vob files into DIR instead
# Needs ffmpeg (and xz).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
raw=""
if [ "${1:-}" = "--raw" ]; then
  raw=${2:?usage: make-data.sh --raw DIR}
  mkdir -p "$raw"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

make_stream() {  # NAME SOURCE SECONDS [AUDIO CODEC]
  ffmpeg -nostdin -v fatal -y \
    -f lavfi -i "$2=size=352x240:rate=30000/1001" \
    -f lavfi -i "sine=frequency=1000:sample_rate=48000" \
    -t "$3" -c:v mpeg2video -b:v 300k -minrate 300k -maxrate 300k -bufsize 224k -g 15 \
    -c:a "${4:-ac3}" -b:a 64k -fflags +bitexact -flags +bitexact -f dvd "$work/$1"
  if [ -n "$raw" ]; then
    mv "$work/$1" "$raw/$1"
  else
    xz -9e -c "$work/$1" > "$here/$1.xz"
  fi
}

make_stream rec-a.vob smptebars 3
make_stream rec-b.vob testsrc 5
make_stream rec-c.vob rgbtestsrc 3
make_stream rec-lpcm.vob testsrc 2 pcm_dvd
