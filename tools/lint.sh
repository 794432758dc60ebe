#!/usr/bin/env bash
# clang-format and clang-tidy over the programs, the library and their tests;
# mandoc over the manual pages of the program folders.
# Needs a configured build with compile_commands.json (default: build/default).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
mapfile -t pages < <(git ls-files ':(glob)*/*.1')
mandoc -T lint -W warning "${pages[@]}"
mapfile -t formatted < <(git ls-files 'platform/*.cpp' 'platform/*.h' 'support/*.cpp' 'support/*.h' 'drive/*.cpp' 'drive/*.h' 'udf/*.cpp' 'udf/*.h' 'rescue/*.cpp' 'rescue/*.h' 'salvage/*.cpp' 'salvage/*.h' 'recordings/*.cpp' 'recordings/*.h' 'pipeline/*.cpp' 'pipeline/*.h' 'vrsalvage/*.cpp' 'vrsalvage/*.h' 'sectorscope/*.cpp' 'sectorscope/*.h' 'vrsplit/*.cpp' 'vrsplit/*.h' \
  'tests/drive_hooks/*.cpp' 'tests/drive_hooks/*.h' 'tests/unit/*.cpp' 'tests/unit/*.h' 'tests/programs/*.cpp' 'tests/programs/*.h' 'tests/vrsplit/*.cpp')
clang-format --dry-run --Werror "${formatted[@]}"
# windows.cpp needs the Windows headers; the 32-bit build checks it.
mapfile -t tidied < <(git ls-files 'platform/*.cpp' 'support/*.cpp' 'drive/*.cpp' 'udf/*.cpp' 'rescue/*.cpp' 'salvage/*.cpp' 'recordings/*.cpp' 'pipeline/*.cpp' 'vrsalvage/*.cpp' 'sectorscope/*.cpp' 'vrsplit/*.cpp' | grep -v 'platform/windows.cpp')
if ! report=$(clang-tidy --quiet -p "$build" "${tidied[@]}" 2>&1); then
  printf '%s\n' "$report" | grep -vE '^[0-9]+ warnings? generated\.$|^Suppressed [0-9]+ warnings'
  exit 1
fi
echo "lint: clean (${#formatted[@]} files formatted, ${#tidied[@]} files tidy, ${#pages[@]} manual pages)"
