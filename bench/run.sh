#!/usr/bin/env bash
# Benchmark: setup.exe beside a floor (a tiny C program that only runs the
# main package) and a peer (the same chain as an NSIS script), measured side
# by side under wine in one private prefix, with a recording stand-in for
# msiexec. Prints a table of medians; see bench/README.md for a quoted run.
#
# The runs use the 64-bit builds of all three: on hosts that cannot execute
# 32-bit code, wine's 32-bit side runs only under an emulator. File sizes are
# given for both the 32-bit forms (what ships) and the 64-bit ones (what ran).
usage=$(cat <<'EOF'
usage: bench/run.sh [ROUNDS]   (default 9 rounds after one warm-up)
EOF
)
. "$(dirname "$0")/../scripts/lib.sh" "$@"
rounds=${1:-9}
if ! [[ $rounds =~ ^[1-9][0-9]{0,3}$ ]] || [ $# -gt 1 ]; then
  BadUsage "ROUNDS is a whole number from 1 to 9999"
fi
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-deps.sh

# setup.exe as it ships, for 32- and 64-bit Windows, and the test build's
# recorder.
for preset in i686 x86_64-shipped x86_64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
out=$root/build/bench

. medium/names.sh
rm -rf "$out/programs" "$out/medium"
mkdir -p "$out/programs" "$out/medium"
for arch in i686 x86_64; do
  "$arch-w64-mingw32-gcc" -Os -s -mwindows -Wl,--dynamicbase -Wl,--nxcompat \
    -DMAIN_PACKAGE="\"$MAIN_PACKAGE\"" bench/floor.c -o "$out/programs/floor-$arch.exe"
done
cp build/i686/setup.exe "$out/programs/setup-i686.exe"
cp build/x86_64-shipped/setup.exe "$out/programs/setup-x86_64.exe"
version=$(release/setup-version build/i686/setup.exe)
names=(-DMAIN_PACKAGE="$MAIN_PACKAGE" -DSCRIPTING_ENGINE="$SCRIPTING_ENGINE"
       -DLM_PREFIX="$LICENCE_MANAGER_PREFIX" -DDRIVER="$DRIVER_INSTALLER"
       -DLICENCE_MARKER="$LICENCE_MARKER" -DDRIVER_MARKER="$DRIVER_MARKER"
       -DPRODUCT_FOLDER="$PRODUCT_FOLDER")
makensis -V1 -DOUTFILE="$out/programs/peer-i686.exe" -DVERSION="$version" "${names[@]}" bench/peer.nsi
makensis -V1 -DOUTFILE="$out/programs/peer-x86_64.exe" -DVERSION="$version" -DAMD64 "${names[@]}" \
  bench/peer.nsi

# The medium: stand-in files; the driver's installer is a recorder too.
medium=$out/medium
for name in "$MAIN_PACKAGE" "${LICENCE_MANAGER_PREFIX}9.7.0.msi" "$SCRIPTING_ENGINE"; do
  echo stand-in > "$medium/$name"
done
cp build/x86_64/recorder.exe "$medium/$DRIVER_INSTALLER"
for program in setup floor peer; do
  cp "$out/programs/$program-x86_64.exe" "$medium/$program.exe"
done

export WINEPREFIX=$out/wineprefix
# measure.py keeps a wine server running; it must not outlive this script
# however it ends, or a pipeline reading this output waits for ever.
trap 'wineserver -k 2>/dev/null || true' EXIT
scripts/make-wineprefix.sh wine64 "$WINEPREFIX"
cp --remove-destination build/x86_64/recorder.exe "$WINEPREFIX/drive_c/windows/system32/msiexec.exe"
# 3,000 installed programs in the 32-bit view, none of them a licence manager.
reg=$out/programs.reg
{
  printf 'REGEDIT4\r\n\r\n'
  for i in $(seq -w 1 3000); do
    printf '[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\BenchApp%s]\r\n' "$i"
    printf '"DisplayName"="Bench Application %s 9.7.0"\r\n"Publisher"="Bench"\r\n\r\n' "$i"
  done
} > "$reg"
scripts/wine-run.sh wine64 regedit /S "Z:${reg//\//\\}"

/usr/bin/python3 bench/measure.py --medium "$medium" --programs "$out/programs" \
  --markers "$WINEPREFIX/drive_c/Program Files (x86)/${PRODUCT_FOLDER//\\//}/$version" \
  --rounds "$rounds"
