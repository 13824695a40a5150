#!/usr/bin/env bash
# Builds setup.exe, lays out a sample installation medium in a folder whose
# path holds spaces, runs setup.exe there under wine and shows what happened.
# A recording stand-in takes msiexec's place, so the run shows the exact
# command line that reached the Windows Installer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/wine-env.sh
scripts/install-deps.sh

if Wine32Works; then
  preset=i686-wine flavour=wine
else
  preset=x86_64 flavour=wine64
  echo "note: this host cannot run wine's 32-bit side natively; running the 64-bit"
  echo "      build of the same sources. The shipped 32-bit one is build/i686/setup.exe."
fi
for p in i686 "$preset"; do
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p" >/dev/null
done
build=$root/build/$preset

sample=$root/build/sample
medium="$sample/Sample Medium"
rm -rf "$medium"
mkdir -p "$medium"
cp "$build/setup.exe" "$medium/setup.exe"
echo "stand-in main package" > "$medium/NerimInstaller.msi_"

export WINEPREFIX=$sample/wineprefix-$flavour
scripts/make-wineprefix.sh "$flavour" "$WINEPREFIX"
system32=$WINEPREFIX/drive_c/windows/system32
[ "$flavour" = wine ] && system32=$WINEPREFIX/drive_c/windows/syswow64
cp "$build/recorder.exe" "$system32/msiexec.exe"

log=$sample/msiexec-calls.txt
rm -f "$log"
export RECORD_LOG="Z:${log//\//\\}" RECORD_EXIT=${MAIN_PACKAGE_EXIT:-0}
set +e
scripts/wine-run.sh "$flavour" "Z:${medium//\//\\}\\setup.exe"
code=$?
set -e

echo
echo "medium:          $medium"
echo "setup.exe exit:  $code"
echo "msiexec runs:"
if [ -s "$log" ]; then
  cut -d'|' -f3 "$log" | sed 's/^/  /'
else
  echo "  none"
fi
