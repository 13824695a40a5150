#!/usr/bin/env bash
# Builds the shipped setup.exe again, from the same sources, in another folder
# and later, and compares it with the first build byte for byte.
# usage: reproducible_build_test.sh SETUP_EXE OTHER_BUILD_DIR
set -uo pipefail
first=$1 other=$2
source=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$other"
cmake --preset i686 -S "$source" -B "$other" >/dev/null &&
  cmake --build "$other" --target setup >/dev/null || { echo "the second build failed"; exit 1; }
if cmp -s "$first" "$other/setup.exe"; then
  echo "setup.exe: the same $(stat -c %s "$first") bytes built in $other"
  exit 0
fi
echo "setup.exe differs between $first and $other/setup.exe:"
echo "  sizes $(stat -c %s "$first") and $(stat -c %s "$other/setup.exe");" \
     "differing bytes (offset, octal values), the first 20:"
cmp -l "$first" "$other/setup.exe" | head -n 20 | sed 's/^/  /'
exit 1
