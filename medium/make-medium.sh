#!/usr/bin/env bash
# Lays out a sample installation medium from the sources in medium/: real
# Windows Installer packages built with wixl, stand-ins named as the vendors'
# files are. Nothing is downloaded and no vendor file is used.
#
# OUT_DIR may hold only what this script writes (or use --force); the new
# medium is made beside it and moved in, and no input is ever removed.
usage=$(cat <<'EOF'
usage: make-medium.sh OUT_DIR SETUP_EXE DRIVER_STANDIN_EXE [options]
  --markers ls,dd|ls|dd|none   choices the main package records (default ls,dd)
  --fail                       the main package fails its installation
  --no-isscript                leave the scripting engine's package out
  --lm-version V               the licence manager's version (default 9.7.0)
  --product-version V          the version whose folder the main package puts its
                               markers in (default: the one in SETUP_EXE's version
                               resource, so that setup.exe finds them)
  --force                      replace OUT_DIR's files even when it holds others
EOF
)
. "$(dirname "$0")/../scripts/lib.sh" "$@"
. "$(dirname "$0")/names.sh"
staging=$(dirname "$0")/../release/staging
# The names this script writes into a medium.
Ours() {
  case $1 in
    setup.exe|"$MAIN_PACKAGE"|"$SCRIPTING_ENGINE"|"$DRIVER_INSTALLER") ;;
    "$LICENCE_MANAGER_PREFIX"*.msi) ;;
    *) return 1 ;;
  esac
}
[ $# -ge 3 ] || BadUsage "needs OUT_DIR, SETUP_EXE and DRIVER_STANDIN_EXE"
out=$1
for file in "$2" "$3"; do [ -f "$file" ] || BadUsage "no file $file"; done
# Whole paths: wixl runs from medium/.
setup_exe=$(realpath "$2")
driver_exe=$(realpath "$3")
shift 3
markers=ls,dd fail=0 isscript=1 lm_version=9.7.0 product_version= force=0
while [ $# -gt 0 ]; do
  case $1 in
    --markers|--lm-version|--product-version) [ $# -ge 2 ] || BadUsage "$1 needs a value" ;;&
    --markers) markers=$2; shift ;;
    --fail) fail=1 ;;
    --no-isscript) isscript=0 ;;
    --lm-version) lm_version=$2; shift ;;
    --product-version) product_version=$2; shift ;;
    --force) force=1 ;;
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

here=$(cd "$(dirname "$0")" && pwd)
if [ -z "$product_version" ]; then
  product_version=$("$here/../release/setup-version" "$setup_exe" 2>/dev/null) ||
    BadUsage "$setup_exe has no version resource; give --product-version"
fi
sources=$here
out=$(realpath -m "$out")
[[ $sources/ != "$out"/* ]] || Die "$out holds the medium's sources; give another folder"
if [ -e "$out" ] || [ -L "$out" ]; then
  [ -d "$out" ] && [ ! -L "$out" ] || Die "$out is not a folder"
  for path in "$out"/* "$out"/.[!.]*; do
    [ -e "$path" ] || [ -L "$path" ] || continue
    Ours "$(basename "$path")" || [ "$force" = 1 ] ||
      Die "$out holds $(basename "$path"), which make-medium.sh did not make; give another folder, or --force"
  done
fi

# Made beside OUT_DIR and moved in, so that a failed run leaves OUT_DIR as it
# was; a killed run's folder is removed by the next one.
mkdir -p "$(dirname "$out")"
"$staging" remove-stale "$(dirname "$out")"
new=$("$staging" new --folder --owner $$ "$out")
trap 'rm -rf "$new"' EXIT
(cd "$sources"  # wixl resolves the packages' Source files from here
 wixl -D ProductVersion="$product_version" -D LS=$ls -D DD=$dd -D FAIL=$fail \
   -D LicenceMarker="$LICENCE_MARKER" -D DriverMarker="$DRIVER_MARKER" -o "$new/$MAIN_PACKAGE" nerim.wxs
 wixl -D Version="$lm_version" -o "$new/$LICENCE_MANAGER_PREFIX$lm_version.msi" license-manager.wxs
 if [ "$isscript" = 1 ]; then
   wixl -o "$new/$SCRIPTING_ENGINE" isscript.wxs
 fi)
cp "$setup_exe" "$new/setup.exe"
cp "$driver_exe" "$new/$DRIVER_INSTALLER"

mkdir -p "$out"
made=$(cd "$new" && ls -A)
for name in $made; do
  "$staging" put "$new/$name" "$out/$name" || Die "cannot put $name in place in $out"
done
# What the new medium does not hold goes (an older licence manager, say), but
# never an input.
for path in "$out"/* "$out"/.[!.]*; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  grep -qxF "$(basename "$path")" <<<"$made" && continue
  if [ "$path" = "$setup_exe" ] || [ "$path" = "$driver_exe" ]; then
    Ours "$(basename "$path")" || { Note "note: kept $path, an input"; continue; }
  fi
  rm -rf "$path"
done
