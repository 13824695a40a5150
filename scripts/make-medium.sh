#!/usr/bin/env bash
# Lays out a sample installation medium from the sources in medium/: real
# Windows Installer packages built with wixl, stand-ins named as the vendors'
# files are. Nothing is downloaded and no vendor file is used.
#
# usage: make-medium.sh OUT_DIR SETUP_EXE DRIVER_STANDIN_EXE [options]
#   --markers ls,dd|ls|dd|none   choices the main package records (default ls,dd)
#   --fail                       the main package fails its installation
#   --no-isscript                leave ISScript10.Msi out
#   --lm-version V               the licence manager's version (default 9.7.0)
#   --product-version V          the version whose folder the main package puts its
#                                markers in (default: the one in SETUP_EXE's version
#                                resource, so that setup.exe finds them)
set -euo pipefail
Usage() { sed -n '6,13s/^# \{0,1\}//p' "$0"; }
BadUsage() { echo "make-medium.sh: $*" >&2; Usage >&2; exit 2; }
case ${1:-} in -h|--help) Usage; exit 0 ;; esac
[ $# -ge 3 ] || BadUsage "needs OUT_DIR, SETUP_EXE and DRIVER_STANDIN_EXE"
out=$1
for file in "$2" "$3"; do [ -f "$file" ] || BadUsage "no file $file"; done
# Whole paths: wixl runs from medium/.
setup_exe=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
driver_exe=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
shift 3
markers=ls,dd fail=0 isscript=1 lm_version=9.7.0 product_version=
while [ $# -gt 0 ]; do
  case $1 in
    --markers|--lm-version|--product-version) [ $# -ge 2 ] || BadUsage "$1 needs a value" ;;&
    --markers) markers=$2; shift ;;
    --fail) fail=1 ;;
    --no-isscript) isscript=0 ;;
    --lm-version) lm_version=$2; shift ;;
    --product-version) product_version=$2; shift ;;
    *) BadUsage "unknown option $1" ;;
  esac
  shift
done
ls=0 dd=0
case $markers in
  ls,dd|dd,ls) ls=1 dd=1 ;;
  ls) ls=1 ;;
  dd) dd=1 ;;
  none) ;;
  *) BadUsage "--markers takes ls,dd, ls, dd or none, not \"$markers\"" ;;
esac

scripts=$(cd "$(dirname "$0")" && pwd)
if [ -z "$product_version" ]; then
  product_version=$(/usr/bin/python3 "$scripts/pe_checks.py" "$setup_exe" 2>/dev/null) ||
    BadUsage "$setup_exe has no version resource; give --product-version"
fi
sources=$(cd "$(dirname "$0")/../medium" && pwd)
rm -rf "$out"
mkdir -p "$out"
out=$(cd "$out" && pwd)
cd "$sources"  # wixl resolves the packages' Source files from here
wixl -D ProductVersion="$product_version" -D LS=$ls -D DD=$dd -D FAIL=$fail \
  -o "$out/NerimInstaller.msi_" nerim.wxs
wixl -D Version="$lm_version" -o "$out/SentinelRMSLicenseManager$lm_version.msi" license-manager.wxs
if [ "$isscript" = 1 ]; then
  wixl -o "$out/ISScript10.Msi" isscript.wxs
fi
cp "$setup_exe" "$out/setup.exe"
cp "$driver_exe" "$out/SentinelSystemDriverInstaller7.5.8.exe"
