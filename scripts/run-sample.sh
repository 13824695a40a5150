#!/usr/bin/env bash
# Builds setup.exe, lays out the sample installation medium of real packages
# in a folder whose path holds spaces, runs setup.exe from it under wine with
# wine's own Windows Installer, in a new private prefix, and shows what
# happened.
#
# usage: run-sample.sh [--markers ls,dd|ls|dd|none] [--fail] [--no-isscript]
#   With no option: the typical run, both prerequisites chosen.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/wine-env.sh
scripts/install-deps.sh

# setup.exe built as it ships, for the architecture wine runs here.
if Wine32Works; then
  preset=i686 flavour=wine
else
  preset=x86_64-shipped flavour=wine64
  echo "note: 32-bit wine cannot run here ($(Wine32Problem)); running setup.exe"
  echo "      built as it ships for 64-bit Windows. The shipped 32-bit one is build/i686/setup.exe."
fi
for p in i686 "$preset"; do
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p" >/dev/null
done
build=$root/build/$preset

sample=$root/build/sample
medium="$sample/Sample Medium"
scripts/make-medium.sh "$medium" "$build/setup.exe" "$build/driver_standin.exe" "$@"
export WINEPREFIX=$sample/wineprefix-$flavour
rm -rf "$WINEPREFIX"
scripts/make-wineprefix.sh "$flavour" "$WINEPREFIX"

set +e
scripts/wine-run.sh "$flavour" "Z:${medium//\//\\}\\setup.exe"
code=$?
set -e

markers="$WINEPREFIX/drive_c/Program Files (x86)/Brenk/Installers/Nerim/1.5.0.113805"
receipt="$WINEPREFIX/drive_c/ProgramData/Sentinel System Driver (sample)/receipt.txt"
echo
echo "medium:              $medium"
ls "$medium" | sed 's/^/                       /'
echo "setup.exe exit code: $code"
echo "markers left by the main package (Program Files (x86)\\Brenk\\Installers\\Nerim\\1.5.0.113805):"
ls "$markers" 2>/dev/null | sed 's/^/  /' | grep . || echo "  none"
echo "installed programs (32-bit view of the registry):"
scripts/wine-run.sh "$flavour" reg query \
  'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:32 |
  tr -d '\r' | sed -n 's/^ *DisplayName *REG_SZ *\(.*\)/  \1/p' | grep . || echo "  none"
echo "driver installer runs:"
if [ -s "$receipt" ]; then tr -d '\r' < "$receipt" | sed 's/^/  /'; else echo "  none"; fi
wineserver -k 2>/dev/null || true
