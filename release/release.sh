#!/usr/bin/env bash
# Makes a release from the vendor's files and this commit: builds the shipped
# setup.exe in a fresh folder, lays out the medium, signs setup.exe when given
# a key, checks the medium, and writes it with a .zip, an ISO image and
# SHA256SUMS.
#
# The release is made in a hidden folder in --out and renamed at the end, so
# nothing that looks finished appears unless every step passed; --force swaps
# the new release for the old one in one rename. One run at a time writes into
# an --out (a lock on the folder); a run killed by SIGKILL leaves its hidden
# folder, which the next run names and removes.
usage=$(cat <<'EOF'
usage: release.sh --vendor DIR --out DIR
                  [--pkcs12 FILE | --cert FILE|URI --key FILE|URI [--pkcs11-module LIB]]
                  [--password-file FILE] [--timestamp URL]... [--timestamp-ca FILE]
                  [--allow-dirty] [--force]
  --vendor DIR     the main package, the licence manager's package, the
                   scripting engine's and the driver's installer, as
                   medium/names.sh names them; nothing else
  --out DIR        where the release folder Nerim-<version> is written
  --pkcs12, --cert, --key, --pkcs11-module, --password-file, --timestamp,
  --timestamp-ca   sign setup.exe, with a key in a file or in a token (see
                   release/sign.sh --help); RELEASE.txt records the signer,
                   where the key was (never the password or PIN) and the time
                   stamp
  --allow-dirty    build from a tree with uncommitted changes (said in RELEASE.txt)
  --force          replace a release folder of the same name
Exit codes: 0 released, 1 a step failed (the last line says which and why;
nothing was released), 2 bad usage. Unsigned, the same commit and vendor
files give byte-identical archives.
EOF
)
. "$(dirname "$0")/../scripts/lib.sh" "$@"
. "$(dirname "$0")/../medium/names.sh"
. "$(dirname "$0")/../scripts/staging.sh"
said=0 step="reading the arguments" stage=''
Fail() { Note "$step: $*"; said=1; exit 1; }

# The one line every way out but success ends with; the hidden folder goes.
Finish() {
  local status=$1
  [ -z "$stage" ] || rm -rf "$stage"
  if [ "$status" = 130 ]; then
    Note "$step: interrupted; nothing was released"
  elif [ "$status" != 0 ] && [ "$said" = 0 ]; then
    Note "$step failed (exit $status); nothing was released"
  fi
}
trap 'Finish $?' EXIT
trap 'exit 130' INT TERM HUP

vendor='' out='' allow_dirty=0 force=0 signing=() timestamp_ca=
while [ $# -gt 0 ]; do
  case $1 in
    --allow-dirty) allow_dirty=1 ;;
    --force) force=1 ;;
    --vendor|--out|--pkcs12|--cert|--key|--pkcs11-module|--password-file|--timestamp|--timestamp-ca)
      [ $# -ge 2 ] || BadUsage "$1 needs a value"
      case $1 in
        --vendor) vendor=$2 ;;
        --out) out=$2 ;;
        --timestamp) signing+=("$1" "$2") ;;
        --cert|--key) [[ $2 == pkcs11:* ]] && signing+=("$1" "$2") || signing+=("$1" "$(realpath -m "$2")") ;;
        --timestamp-ca) timestamp_ca=$(realpath -m "$2"); signing+=("$1" "$timestamp_ca") ;;
        *) signing+=("$1" "$(realpath -m "$2")") ;;  # the script runs from the checkout
      esac
      shift ;;
    *) BadUsage "unknown argument $1" ;;
  esac
  shift
done
[ -n "$vendor" ] && [ -n "$out" ] || BadUsage "--vendor and --out are needed"

step="reading --vendor"
[ -d "$vendor" ] || Fail "$vendor is not a folder"
vendor=$(realpath "$vendor")
# Only what setup.exe uses, and only files; letter case and names are the
# medium check's to judge.
shopt -s nocasematch
for path in "$vendor"/* "$vendor"/.[!.]*; do
  [ -e "$path" ] || [ -L "$path" ] || continue
  name=$(basename "$path")
  case $name in
    "$MAIN_PACKAGE"|"$LICENCE_MANAGER_PREFIX"*.msi|"$SCRIPTING_ENGINE"|"$DRIVER_INSTALLER")
      [ -f "$path" ] || Fail "$name is not a regular file" ;;
    *) Fail "$name is not part of a medium (setup.exe uses none but the main package," \
            "the licence manager, $SCRIPTING_ENGINE and the driver's installer)" ;;
  esac
done
shopt -u nocasematch

step="locking --out"
mkdir -p "$out" && out=$(realpath "$out") || Fail "cannot make the folder $out"
exec 9<"$out"
flock -n 9 || Fail "another release.sh is writing into $out; wait for it to end, then run again"

# Staged folders of runs that were killed: we hold the lock, so no run owns
# them.
step="looking for leftovers in $out"
RemoveStale "$out"

step="reading the checkout"
cd "$(dirname "$0")/.."
root=$PWD
commit=$(git rev-parse HEAD 2>/dev/null) || Fail "not a git checkout: the release names the commit it is built from"
changed=$(git status --porcelain --untracked-files=no | cut -c4-)
if [ -n "$changed" ] && [ "$allow_dirty" = 0 ]; then
  Fail "uncommitted changes to $(echo "$changed" | paste -sd ' '); commit them, or give --allow-dirty"
fi

step="building setup.exe"
stage=$(Staged "$out/Nerim-build" -d)
chmod 755 "$stage"
echo "building setup.exe (preset i686) from $commit in a fresh folder"
# Flags from the environment would build other bytes under the same commit.
build=$stage/build
env -u CFLAGS -u CXXFLAGS -u CPPFLAGS -u LDFLAGS cmake --preset i686 -B "$build" \
  -DNERIM_TESTS=OFF >"$stage/build.log" 2>&1 &&
  cmake --build "$build" --target setup >>"$stage/build.log" 2>&1 ||
  { tail -n 20 "$stage/build.log" >&2; Fail "the build failed (its last lines are above)"; }
version=$(/usr/bin/python3 release/pe_checks.py "$build/setup.exe") || Fail "setup.exe has no version"
compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake)
linker=$(sed -n 's/^CMAKE_LINKER:[A-Z]*=//p' "$build/CMakeCache.txt")
toolchain="$("$compiler" --version | head -n 1); $("$linker" --version | head -n 1)" ||
  Fail "cannot tell the compiler's and the linker's versions ($compiler, $linker)"
packages=$(dpkg-query -W -f '${Package} ${Version}, ' "g++-mingw-w64-i686*" "binutils-mingw-w64-i686" \
           2>/dev/null | sed 's/, $//') || true
name=Nerim-$version
final=$out/$name
if [ -e "$final" ] && [ "$force" = 0 ]; then
  Fail "$final exists; --force replaces it"
fi

step="laying out the medium"
medium=$stage/$name
mkdir "$medium"
cp "$vendor"/* "$build/setup.exe" "$medium/"
chmod 644 "$medium"/*
signer="setup.exe not signed"
if [ ${#signing[@]} -gt 0 ]; then
  step="signing setup.exe"
  signed=$(release/sign.sh "${signing[@]}" --description "Nerim Setup" "$medium/setup.exe") ||
    Fail "sign.sh failed (its line is above)"
  echo "$signed"
  signer="setup.exe signed by $(sed -n 's/^signer: //p' <<<"$signed")
  $(grep '^key: ' <<<"$signed")
  $(sed -n -e 's/^signed .*, time-stamped \(by .*\)/time stamp: \1/p' \
           -e 's/^note: no --timestamp: these signatures stop \(verifying on .*\),.*/no time stamp: it stops \1/p' \
           <<<"$signed")"
fi

step="checking the medium"
echo "checking the medium"
(cd "$stage" && /usr/bin/python3 "$root/release/check-medium.py" \
   ${timestamp_ca:+--timestamp-ca "$timestamp_ca"} "$name") >"$stage/check.txt" || {
  cat "$stage/check.txt"; Fail "the medium check found errors (above)"; }
grep -v '^ok: ' "$stage/check.txt" || true

# Fixed times and order, so that the same inputs give the same archives.
# Every name is ASCII (the check refuses others), so the zip needs no
# Unicode flag for Explorer to read the names as they are.
step="writing the archives"
epoch=$(git log -1 --format=%ct HEAD)
touch -d "@$epoch" "$medium"/* "$medium"
(cd "$stage" && export LC_ALL=C TZ=UTC && files=("$name"/*) && zip -q -X -D "$name.zip" "${files[@]}") ||
  Fail "zip failed"
SOURCE_DATE_EPOCH=$epoch xorriso -no_rc -as mkisofs -quiet -J -joliet-long -r \
  -V "NERIM_${version//./_}" -o "$stage/$name.iso" "$medium" 2>"$stage/xorriso.txt" ||
  { cat "$stage/xorriso.txt" >&2; Fail "xorriso could not write the ISO image (its words are above)"; }
{
  echo "Nerim $version, built from commit $commit"
  [ -z "$changed" ] || echo "with uncommitted changes to: $(echo "$changed" | paste -sd ' ')"
  echo "built with: $toolchain"
  [ -z "$packages" ] || echo "Debian packages: $packages"
  echo "$signer"
  echo "medium check:"
  sed 's/^/  /' "$stage/check.txt"
} > "$stage/RELEASE.txt"
rm -rf "$stage/check.txt" "$stage/xorriso.txt" "$stage/build.log" "$build"
(cd "$stage" && LC_ALL=C sha256sum "$name"/* "$name.zip" "$name.iso" RELEASE.txt > SHA256SUMS)

step="putting the release in place"
# An old release is swapped with the new one in one step, then removed.
said=$(PutInPlace "$stage" "$final") || Fail "$said"
stage=''
echo "released $final:"
(cd "$final" && ls -d "$name" "$name.zip" "$name.iso" SHA256SUMS RELEASE.txt | sed 's/^/  /')
echo "from commit $commit$([ -n "$changed" ] && echo ", with uncommitted changes")"
