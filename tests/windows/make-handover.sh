#!/usr/bin/env bash
# Lays out what CI hands to a Windows machine, from a built i686 tree: the
# shipped setup.exe on the sample medium, a medium whose main package fails,
# the installation checker and run-checks.cmd, which runs it as an
# administrator would. The end-to-end test runs the same folder under wine.
usage=$(cat <<'END'
usage: make-handover.sh I686_BUILD_DIR OUT_DIR
  OUT_DIR must not exist yet
END
)
. "$(dirname "$0")/../../scripts/lib.sh" "$@"
[ $# -eq 2 ] || BadUsage "needs I686_BUILD_DIR and OUT_DIR"
build=$1 out=$2
here=$(cd "$(dirname "$0")" && pwd)
for file in setup.exe driver_standin.exe installation_check.exe sample-medium/setup.exe; do
  [ -f "$build/$file" ] || Die "no $build/$file: build the i686 preset first"
done
[ ! -e "$out" ] || Die "$out exists already"
mkdir -p "$out"
cp -r "$build/sample-medium" "$out/sample-medium"
"$here/../../medium/make-medium.sh" "$out/failing-medium" "$build/setup.exe" \
  "$build/driver_standin.exe" --fail --markers none
cp "$build/installation_check.exe" "$here/run-checks.cmd" "$out/"
