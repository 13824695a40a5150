#!/usr/bin/env bash
# Builds setup.exe, lays out the sample installation medium of real packages
# in a folder whose path holds spaces, runs setup.exe from it under wine with
# wine's own Windows Installer, in a new private prefix, and shows what
# happened.
#
usage=$(cat <<'EOF'
usage: run-sample.sh [--markers ls,dd|ls|dd|none] [--fail] [--no-isscript] [--again]
  --markers      the choices the main package records (default ls,dd)
  --fail         the main package fails its installation
  --no-isscript  the medium has no scripting engine's package
  --again        start setup.exe a second time in the same prefix, to show
                 that what is installed is not installed again
EOF
)
. "$(dirname "$0")/lib.sh" "$@"
medium_options=() again=0
while [ $# -gt 0 ]; do
  case $1 in
    --markers)
      case ${2:-} in ls,dd|dd,ls|ls|dd|none) ;; *) BadUsage "--markers takes ls,dd, ls, dd or none" ;; esac
      medium_options+=("$1" "$2"); shift ;;
    --fail|--no-isscript) medium_options+=("$1") ;;
    --again) again=1 ;;
    *) BadUsage "unknown option $1" ;;
  esac
  shift
done
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
for p in $(printf "%s\n" i686 "$preset" | sort -u); do
  Note "building the $p tree"
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p" >/dev/null
done
build=$root/build/$preset

sample=$root/build/sample
medium="$sample/Sample Medium"
medium/make-medium.sh "$medium" "$build/setup.exe" "$build/driver_standin.exe" \
  ${medium_options[@]+"${medium_options[@]}"}
export WINEPREFIX=$sample/wineprefix-$flavour
rm -rf "$WINEPREFIX"
scripts/make-wineprefix.sh "$flavour" "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT

version=$(release/setup-version "$build/setup.exe")
. medium/names.sh
markers="$WINEPREFIX/drive_c/Program Files (x86)/${PRODUCT_FOLDER//\\//}/$version"
receipt="$WINEPREFIX/drive_c/ProgramData/Sentinel System Driver (sample)/receipt.txt"
# What is listed as installed; nothing when the key does not exist yet.
Installed() {
  { scripts/wine-run.sh "$flavour" reg query \
      'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:32 || true; } |
    tr -d '\r' | sed -n 's/^ *DisplayName *REG_SZ *\(.*\)/\1/p'
}
Indented() { sed -n 's/^\(..*\)$/  \1/p' | grep . || echo "  none"; }
# setup.exe does not say how msiexec ended, so a failed main package is run
# again alone to show its exit code: through cmd, as wine hands its caller
# only the low 8 bits of an exit code.
MainPackageCode() {
  printf '@echo off\r\nmsiexec /i "%s" /qn\r\necho %%ERRORLEVEL%%\r\n' \
    "Z:${medium//\//\\}\\$MAIN_PACKAGE" > "$sample/main-package.cmd"
  { scripts/wine-run.sh "$flavour" cmd /c "Z:${sample//\//\\}\\main-package.cmd" || true; } |
    tr -d '\r' | tail -n 1
}

RunAndShow() {  # WHICH
  Note "running setup.exe under $flavour ($1 start)"
  set +e
  scripts/wine-run.sh "$flavour" "Z:${medium//\//\\}\\setup.exe"
  local code=$?
  set -e
  local installed
  installed=$(Installed)
  echo
  echo "== $1 start of setup.exe: exit code $code"
  if grep -qx "Nerim (sample)" <<<"$installed"; then
    echo "main package: installed (\"Nerim (sample)\" is listed)"
  else
    echo "main package: failed, exit code $(MainPackageCode) (msiexec run on it again, alone)," \
         "so setup.exe installed no prerequisite"
  fi
  echo "markers: $(ls "$markers" 2>/dev/null | paste -sd ' ' | grep . || echo none)" \
       "(in Program Files (x86)\\$PRODUCT_FOLDER\\$version)"
  echo "installed programs (32-bit view of the registry):"
  Indented <<<"$installed"
  echo "driver installer runs:"
  { tr -d '\r' < "$receipt" || true; } 2>/dev/null | Indented
}

echo "medium: $medium"
ls "$medium" | Indented
RunAndShow first
if [ "$again" = 1 ]; then
  RunAndShow second
  echo "(the second start installs nothing again; only the driver's installer runs each time)"
fi
