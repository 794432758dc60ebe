#!/usr/bin/env bash
# Checks what tools/run-sample.sh left behind: the two files of each mode,
# the fixed-layout copies equal to the image's sectors, and the block dump.
# (run-sample.sh itself compares VR_MOVIE_R.VRO with the erased recording.)
# Usage: tools/check-sample.sh [OUTDIR]   (default out/sample)
set -euo pipefail
out=${1:-out/sample}
fail() { echo "check-sample.sh: $*" >&2; exit 1; }

# VR_MANGR_R.IFO is empty: the sample's management area has no free block.
for file in files/VR_MANGR.IFO files/VR_MOVIE.VRO recovered/VR_MANGR_R.IFO recovered/VR_MOVIE_R.VRO; do
  [ -f "$out/$file" ] || fail "$out/$file is missing"
done
# VR_MANGR.IFO: 1360 sectors from sector 8752; VR_MOVIE.VRO: the sectors
# from 10112 to the end of the recorded area, which is the image's end.
cmp <(dd if="$out/sample.img" bs=2048 skip=8752 count=1360 status=none) "$out/files/VR_MANGR.IFO" \
  || fail "VR_MANGR.IFO differs from sectors 8752-10111 of the image"
movie=$(($(stat -c %s "$out/sample.img") / 2048 - 10112))
[ "$(stat -c %s "$out/files/VR_MOVIE.VRO")" = $((movie * 2048)) ] || fail "VR_MOVIE.VRO is not $movie sectors long"
cmp <(dd if="$out/sample.img" bs=2048 skip=10112 count="$movie" status=none) "$out/files/VR_MOVIE.VRO" \
  || fail "VR_MOVIE.VRO differs from the $movie sectors from sector 10112 of the image"
# sectorscope's dump: 128 lines of 16 bytes.
[ "$(grep -c . "$out/block0.txt")" -ge 128 ] || fail "$out/block0.txt holds no whole block dump"
echo "check-sample.sh: the salvaged files are there and right"
