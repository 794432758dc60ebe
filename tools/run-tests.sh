#!/usr/bin/env bash
# Builds everything and runs every test: the native build with the unit,
# program, image and builder tests, a plain Release build, the main job, the
# real peers (QEMU's SCSI CD-ROM for the Linux pass-through, Wine for the
# Windows build, and a VM in which the static and the 32-bit Windows programs
# meet QEMU's CD-ROM and a tgt LUN), short fuzzing runs, the whole suite again
# under AddressSanitizer and UBSan, and the packages.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${VRS_SKIP_INSTALL:-0}" != 1 ]; then
  bash tools/install-deps.sh
fi

jobs=2
step() { printf '\n=== %s\n' "$*"; }

step "native build"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"

step "plain Release build, as users build it (no preset)"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVRS_WERROR=ON >/dev/null
cmake --build build/release -j "$jobs"

step "main job: tools/run-sample.sh"
status=0
bash tools/run-sample.sh || status=$?
if [ "$status" != 0 ]; then
  echo "tools/run-sample.sh exited with status $status" >&2
  exit 1
fi
bash tools/check-sample.sh out/sample

step "lint: clang-format, clang-tidy and manual pages"
bash tools/lint.sh build/default

step "statically linked programs (for the QEMU and VM guests)"
cmake --preset static >/dev/null
cmake --build --preset static -j "$jobs"

step "32-bit Windows programs (for the VM guest)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"

step "64-bit Windows build (run under Wine)"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs"

step "fuzzing harnesses"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"

step "sanitizer build"
cmake --preset sanitize >/dev/null
cmake --build --preset sanitize -j "$jobs"

step "tests: native build, peers and fuzzers"
ctest --preset default -j "$jobs"

step "tests: fuzzing harnesses (regression inputs and short runs)"
ctest --preset fuzz

step "tests: Windows build under Wine"
ctest --preset win64

step "tests: sanitizer build"
ctest --preset sanitize -j "$jobs"

# Last, so that no test above can run an installed program by mistake.
step "packages: Debian package (installed here) and Windows .zip"
bash tools/check-packages.sh build/release build/win32
