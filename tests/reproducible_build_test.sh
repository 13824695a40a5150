#!/usr/bin/env bash
# Builds the shipped setup.exe again, from the same sources, in another folder
# and later, and compares it with the first build byte for byte.
# usage: reproducible_build_test.sh SETUP_EXE OTHER_BUILD_DIR
. "$NERIM_ROOT/tests/lib.sh"
first=$1 other=$2
rm -rf "$other"
SecondBuild() {
  cmake --preset i686 -S "$root" -B "$other" >/dev/null && cmake --build "$other" --target setup >/dev/null
}
# The sizes, then the differing bytes (offset, octal values), the first 20.
FailureDetails() {
  echo "sizes $(stat -c %s "$first") and $(stat -c %s "$other/setup.exe" 2>/dev/null)"
  cmp -l "$first" "$other/setup.exe" 2>&1 | head -n 20
}
Check "setup.exe builds a second time in $other" SecondBuild &&
  Check "the second build's $(stat -c %s "$first") bytes are the first's" cmp -s "$first" "$other/setup.exe"
Summary "reproducible build"
