#!/usr/bin/env bash
# Makes a release from the vendor's files and this commit: builds the shipped
# setup.exe, lays out the medium, signs setup.exe when given a key, checks the
# medium, and writes it with a .zip, an ISO image and SHA256SUMS.
#
# usage: release.sh --vendor DIR --out DIR [--pkcs12 FILE | --cert FILE --key FILE]
#                   [--password-file FILE] [--timestamp URL] [--allow-dirty] [--force]
#   --vendor DIR     NerimInstaller.msi_, the licence-manager package,
#                    ISScript10.Msi and SentinelSystemDriverInstaller7.5.8.exe,
#                    nothing else
#   --out DIR        where the release folder Nerim-<version> is written
#   --pkcs12, --cert, --key, --password-file, --timestamp
#                    sign setup.exe (see scripts/sign.sh)
#   --allow-dirty    build from a tree with uncommitted changes (said in RELEASE.txt)
#   --force          replace a release folder of the same name
# Nothing that looks finished is left in --out unless every step passed: the
# release is made in a hidden folder there and renamed at the end. Unsigned,
# the same commit and vendor files give byte-identical archives.
set -euo pipefail
Usage() { sed -n '6,16s/^# \{0,1\}//p' "$0"; }
BadUsage() { echo "release.sh: $*" >&2; Usage >&2; exit 2; }
Fail() { echo "release.sh: $*" >&2; exit 1; }

vendor='' out='' allow_dirty=0 force=0 signing=()
while [ $# -gt 0 ]; do
  case $1 in
    -h|--help) Usage; exit 0 ;;
    --allow-dirty) allow_dirty=1 ;;
    --force) force=1 ;;
    --vendor|--out|--pkcs12|--cert|--key|--password-file|--timestamp)
      [ $# -ge 2 ] || BadUsage "$1 needs a value"
      case $1 in
        --vendor) vendor=$2 ;;
        --out) out=$2 ;;
        --timestamp) signing+=("$1" "$2") ;;
        *) signing+=("$1" "$(realpath -m "$2")") ;;  # the script runs from the checkout
      esac
      shift ;;
    *) BadUsage "unknown argument $1" ;;
  esac
  shift
done
[ -n "$vendor" ] && [ -n "$out" ] || BadUsage "--vendor and --out are needed"
[ -d "$vendor" ] || Fail "--vendor $vendor is not a folder"
vendor=$(realpath "$vendor")
mkdir -p "$out" && out=$(realpath "$out")

# Only what setup.exe uses; letter case is the medium check's to judge.
shopt -s nocasematch
for path in "$vendor"/* "$vendor"/.[!.]*; do
  [ -e "$path" ] || continue
  name=$(basename "$path")
  case $name in
    NerimInstaller.msi_|SentinelRMSLicenseManager*.msi|ISScript10.Msi|SentinelSystemDriverInstaller7.5.8.exe)
      [ -f "$path" ] || Fail "$name in $vendor is not a file" ;;
    *) Fail "$name in $vendor is not part of a medium (setup.exe uses none but the" \
            "main package, the licence manager, ISScript10.Msi and the driver's installer)" ;;
  esac
done
shopt -u nocasematch

cd "$(dirname "$0")/.."
root=$PWD
commit=$(git rev-parse HEAD) || Fail "not a git checkout: the release names the commit it is built from"
changed=$(git status --porcelain --untracked-files=no | cut -c4-)
if [ -n "$changed" ] && [ "$allow_dirty" = 0 ]; then
  Fail "uncommitted changes to $(echo "$changed" | paste -sd ' ');" \
       "commit them, or give --allow-dirty"
fi

echo "building setup.exe (preset i686) from $commit"
build=$root/build/release
cmake --preset i686 -B "$build" >/dev/null
cmake --build "$build" --target setup >/dev/null
version=$(/usr/bin/python3 scripts/pe_checks.py "$build/setup.exe")
name=Nerim-$version
final=$out/$name
if [ -e "$final" ] && [ "$force" = 0 ]; then
  Fail "$final exists; --force replaces it"
fi

stage=$(mktemp -d "$out/.$name.partial.XXXXXX")
trap 'rm -rf "$stage"' EXIT
chmod 755 "$stage"
medium=$stage/$name
mkdir "$medium"
cp "$vendor"/* "$build/setup.exe" "$medium/"
chmod 644 "$medium"/*
if [ ${#signing[@]} -gt 0 ]; then
  scripts/sign.sh "${signing[@]}" --description "Nerim Setup" "$medium/setup.exe"
fi

echo "checking the medium"
if ! (cd "$stage" && /usr/bin/python3 "$root/scripts/check-medium.py" "$name") |
     tee "$stage/check.txt"; then
  Fail "the medium check failed; nothing was released"
fi

# Fixed times and order, so that the same inputs give the same archives.
epoch=$(git log -1 --format=%ct HEAD)
touch -d "@$epoch" "$medium"/* "$medium"
(cd "$stage" && export LC_ALL=C TZ=UTC && files=("$name"/*) && zip -q -X -D "$name.zip" "${files[@]}")
SOURCE_DATE_EPOCH=$epoch xorriso -no_rc -as mkisofs -quiet -J -joliet-long -r \
  -V "NERIM_${version//./_}" -o "$stage/$name.iso" "$medium" 2>/dev/null
{
  echo "Nerim $version, built from commit $commit"
  [ -n "$changed" ] && echo "with uncommitted changes to: $(echo "$changed" | paste -sd ' ')"
  [ ${#signing[@]} -gt 0 ] && echo "setup.exe signed" || echo "setup.exe not signed"
  echo "medium check:"
  sed 's/^/  /' "$stage/check.txt"
} > "$stage/RELEASE.txt"
rm "$stage/check.txt"
(cd "$stage" && LC_ALL=C sha256sum "$name"/* "$name.zip" "$name.iso" RELEASE.txt > SHA256SUMS)

[ "$force" = 1 ] && rm -rf "$final"
mv "$stage" "$final"
trap - EXIT
echo "released $final:"
(cd "$final" && ls -d "$name" "$name.zip" "$name.iso" SHA256SUMS RELEASE.txt | sed 's/^/  /')
echo "from commit $commit$([ -n "$changed" ] && echo ", with uncommitted changes")"
