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
  mandoc
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" != 0 ]; then
  echo "missing packages (install them as root): ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
