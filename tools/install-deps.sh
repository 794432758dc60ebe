#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. Run as root on
# a fresh machine; packages already present are left alone.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libgtest-dev libgmock-dev googletest python3 xz-utils
  udftools udfclient p7zip-full ffmpeg libudfread0 cpio
  mingw-w64 g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64
  qemu-system-x86 busybox-static linux-image-amd64
  libfuzzer-14-dev libclang-rt-14-dev
  # the VM test: 32-bit Wine for the guest, an iSCSI MMC target and QEMU's
  # initiator for it, strace for the guest's view of SG_IO
  wine32:i386 tgt qemu-block-extra strace
  # manual pages and the packages
  mandoc lintian dpkg-dev man-db
  # ddrescuelog reads the mapfiles the programs write
  gddrescue
  # vrsplit --format=mkv/mp4: FFmpeg's libraries; mkvmerge checks the .mkv files
  pkg-config libavformat-dev libavcodec-dev libavfilter-dev libswresample-dev libswscale-dev libavutil-dev
  mkvtoolnix
  # the disc report in a real browser (headless) and its markup check
  chromium tidy
  # the Windows window under Wine on a virtual screen: screenshots and keystrokes
  xvfb xauth imagemagick xdotool
)
# wine32 is a 32-bit package.
need_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ] && [ "$need_i386" = 0 ]; then
  exit 0
fi
if [ "$(id -u)" != 0 ]; then
  echo "missing packages (install them as root): ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ "$need_i386" = 1 ]; then
  dpkg --add-architecture i386
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
