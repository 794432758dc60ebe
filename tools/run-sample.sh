#!/usr/bin/env bash
# The main job on the sample disc: builds the programs and the disc image
# builder, makes a DVD-VR sample image in out/sample (two recordings in
# VR_MOVIE.VRO, a third one erased between them), then runs
#   vrsalvage --recordings=disc-job <image>   -> the whole job: recordings + report.html
# and the same by steps:
#   vrsalvage <image>      -> VR_MANGR.IFO, VR_MOVIE.VRO
#   vrsalvage -r <image>   -> VR_MANGR_R.IFO, VR_MOVIE_R.VRO (the erased recording)
#   vrsplit                -> one .mpg per recording, the erased one included
# and shows with ffprobe, when installed, that the recovered file decodes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null || ! command -v xz >/dev/null; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q cmake ninja-build g++ libgtest-dev xz-utils >/dev/null
  fi
fi

cmake --preset default >/dev/null
cmake --build --preset default -j 2 --target vrsalvage sectorscope mkvrdisc >/dev/null
build="$root/build/default"

out="$root/out/sample"
rm -rf "$out"
mkdir -p "$out"
bash tools/make-sample-image.sh "$out" "$build/tools/mkvrdisc"

# The main job in one command: everything off the disc into a folder, with the report.
echo
echo "\$ vrsalvage --recordings=disc-job sample.img"
(cd "$out" && "$build/vrsalvage/vrsalvage" --recordings=disc-job sample.img | tr '\r' '\n')
ls -l "$out/disc-job"
echo "report: $out/disc-job/report.html"

# The same by steps: the salvaged files, then vrsplit.
mkdir -p "$out/files" "$out/recovered"
echo
echo "\$ vrsalvage sample.img"
(cd "$out/files" && "$build/vrsalvage/vrsalvage" ../sample.img)
ls -l "$out/files"
echo
echo "\$ vrsalvage -r sample.img"
(cd "$out/recovered" && "$build/vrsalvage/vrsalvage" -r ../sample.img | tr '\r' '\n')
ls -l "$out/recovered"
echo
erased=$(stat -c %s "$out/sample-erased.vob")
if cmp -s <(head -c "$erased" "$out/recovered/VR_MOVIE_R.VRO") "$out/sample-erased.vob"; then
  echo "VR_MOVIE_R.VRO begins with the erased recording, byte for byte ($erased bytes)."
else
  echo "VR_MOVIE_R.VRO does not hold the erased recording" >&2
  exit 1
fi
if command -v ffprobe >/dev/null; then
  echo "ffprobe of the recovered movie data:"
  ffprobe -v error -show_entries format=format_name,duration -show_entries stream=codec_name,width,height \
    -of default=noprint_wrappers=1 "$out/recovered/VR_MOVIE_R.VRO"
fi

# From the salvaged files to one file per recording.
cmake --build --preset default -j 2 --target vrsplit >/dev/null
echo
echo "\$ vrsplit -o recordings VR_MANGR.IFO VR_MOVIE.VRO   (the recordings on the disc)"
(cd "$out/files" && "$build/vrsplit/vrsplit" -o ../recordings VR_MANGR.IFO VR_MOVIE.VRO)
echo
echo "\$ vrsplit --erased -o recordings VR_MOVIE_R.VRO VR_MANGR_R.IFO   (the erased one)"
(cd "$out/recovered" && "$build/vrsplit/vrsplit" --erased -o ../recordings VR_MOVIE_R.VRO VR_MANGR_R.IFO)
ls -l "$out/recordings"
if command -v ffprobe >/dev/null; then
  echo "ffprobe durations:"
  for file in "$out/recordings"/*.mpg; do
    printf '  %s  %s s\n' "$(basename "$file")" "$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file")"
  done
fi
echo
echo "\$ sectorscope sample.img 0   (the first block of the partition: the space bitmap)"
# The whole dump goes to a file first: head closing a pipe early would end
# sectorscope with SIGPIPE and fail the script under pipefail.
"$build/sectorscope/sectorscope" "$out/sample.img" 0 > "$out/block0.txt"
head -4 "$out/block0.txt"
echo "..."
