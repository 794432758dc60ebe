#!/usr/bin/env bash
# Makes the packages and checks them:
#   the Debian package from a Linux build: lintian reports no error; as root
#   it is installed with apt-get and the programs and their manual pages are
#   found where the system looks for them;
#   the .zip from the 32-bit Windows build: the 32-bit .exe files, the README
#   with its pictures
#   and the licence.
# Usage: tools/check-packages.sh [LINUX_BUILD [WIN32_BUILD]]
#        (default build/release and build/win32, both already built)
set -euo pipefail
cd "$(dirname "$0")/.."
linux=${1:-build/release}
windows=${2:-build/win32}
fail() { echo "check-packages.sh: $*" >&2; exit 1; }
version=$(sed -n 's/^ *VERSION \([0-9.]*\)$/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
# Every program folder holds its program's manual page: <program>/<program>.1.
mapfile -t programs < <(git ls-files ':(glob)*/*.1' | sed -n 's|^\([a-z]*\)/\1\.1$|\1|p')
[ ${#programs[@]} -ge 2 ] || fail "no manual pages of programs found"

rm -f "$linux"/vrsalvage_*.deb
(cd "$linux" && cpack -G DEB >/dev/null)
deb=$(realpath "$linux/vrsalvage_${version}_$(dpkg --print-architecture).deb")
[ -f "$deb" ] || fail "cpack made no $deb"
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"
dpkg-deb --field "$deb"
dpkg-deb --contents "$deb" | awk '{print $1, $3, $6}'
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian found errors in $(basename "$deb")"

if [ "$(id -u)" = 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=1200 install -y -q --reinstall "$deb" >/dev/null
  for program in "${programs[@]}"; do
    [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not /usr/bin/$program"
    [ "$(man -w "$program")" = "/usr/share/man/man1/$program.1.gz" ] || fail "man -w $program: $(man -w "$program" 2>&1)"
    dpkg -L vrsalvage | grep -qx "/usr/bin/$program" || fail "dpkg -L vrsalvage does not list /usr/bin/$program"
  done
  dpkg -L vrsalvage | grep -qx /usr/share/doc/vrsalvage/copyright || fail "no copyright file"
  for program in "${programs[@]}"; do
    "$program" --version | grep -qF "$version" || fail "$program --version does not say $version"
  done
  vrsalvage --version
  # FFmpeg's libraries only in the media module: the installed programs link none of them
  # and load the module for thumbnails and for vrsplit --format=mkv.
  module=/usr/lib/vrsalvage/vrsalvage-media.so
  dpkg -L vrsalvage | grep -qx "$module" || fail "dpkg -L vrsalvage does not list $module"
  for program in "${programs[@]}"; do
    ! ldd "/usr/bin/$program" | grep -q libav || fail "$program links FFmpeg's libraries"
  done
  media=$(mktemp -d)
  tools/make-sample-image.sh "$media/sample" "$linux/tools/mkvrdisc" > /dev/null
  vrsalvage --recordings="$media/out" "$media/sample/sample.img" > /dev/null ||
    fail "vrsalvage --recordings failed on the sample disc"
  pictures=$(grep -o '"thumbnail": "data:image/jpeg' "$media/out/report.json" | wc -l)
  [ "$pictures" = 3 ] || fail "vrsalvage --recordings made $pictures thumbnails, not 3: $(grep -o '"thumbnails_note": "[^"]*"' "$media/out/report.json")"
  vrsplit --format=mkv -o "$media/mkv" "$media/out/disc/VR_MANGR.IFO" "$media/out/disc/VR_MOVIE.VRO" > /dev/null ||
    fail "vrsplit --format=mkv failed"
  mkv=$(find "$media/mkv" -name '*.mkv' | wc -l)
  [ "$mkv" = 2 ] || fail "vrsplit --format=mkv wrote $mkv Matroska files, not 2"
  rm -rf "$media"
  echo "media module: $pictures thumbnails, $mkv Matroska files from the installed programs"
  echo "installed: $(dpkg-query -W -f='${Package} ${Version} ${Status}' vrsalvage)"
else
  echo "check-packages.sh: not root; the package is not installed"
fi

rm -f "$windows"/vrsalvage-*-win32.zip
(cd "$windows" && cpack >/dev/null)
zip="$windows/vrsalvage-$version-win32.zip"
[ -f "$zip" ] || fail "cpack made no $zip"
echo "$(basename "$zip"): $(stat -c %s "$zip") bytes"
python3 -m zipfile -l "$zip"
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
python3 -m zipfile -e "$zip" "$unpacked"
top="$unpacked/vrsalvage-$version-win32"
for file in README.md LICENSE CHANGELOG.md docs/window.png docs/report-sample.png; do
  cmp -s "$file" "$top/$file" || fail "the .zip holds no copy of $file"
done
for program in "${programs[@]}" vrsalvagew; do
  format=$(i686-w64-mingw32-objdump -f "$top/$program.exe" | sed -n 's/.*file format //p')
  [ "$format" = pei-i386 ] || fail "$program.exe is not a 32-bit Windows program ($format)"
done
echo "check-packages.sh: both packages are complete"
