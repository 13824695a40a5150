#!/usr/bin/env bash
# scripts/release.sh on the sample medium's packages.
# usage: release_test.sh SAMPLE_MEDIUM WORK_DIR
set -uo pipefail
sample=$1 work=$2
root=$(cd "$(dirname "$0")/.." && pwd)
passed=0 failed=0
Check() {
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
Release() {  # OUT [options]: sets $out
  out=$work/$1; shift
  "$root/scripts/release.sh" --vendor "$work/vendor" --out "$out" --allow-dirty "$@" >"$out.log" 2>&1
}
NothingFinished() { [ -z "$(ls -A "$out")" ]; }
Same() { diff <(cd "$1" && ls) <(sed 's|^.*/||' <<<"$2" | sort); }

rm -rf "$work"
mkdir -p "$work/vendor"
cp "$sample"/* "$work/vendor/"
rm "$work/vendor/setup.exe"
name=Nerim-1.5.0.113805

Release first
release=$out/$name
Check "the release passes, its SHA256SUMS with it" eval '(cd "$release" && sha256sum -c SHA256SUMS)'
Check "the zip holds exactly the medium" \
  Same "$release/$name" "$(/usr/bin/python3 -m zipfile -l "$release/$name.zip" | awk 'NR > 1 {print $1}')"
Check "the ISO holds exactly the medium" \
  Same "$release/$name" "$(xorriso -no_rc -indev "$release/$name.iso" -find / -type f 2>/dev/null | tr -d "'")"
Release second
Check "a second run gives the same archives" \
  eval 'cmp "$release/$name.zip" "$out/$name/$name.zip" && cmp "$release/$name.iso" "$out/$name/$name.iso"'
Release first
Check "an existing release is not overwritten" grep -q -- "--force replaces it" "$out.log"

touch "$work/vendor/notes.txt"
Release stray
Check "a stray vendor file is refused by name, nothing finished" \
  eval 'grep -q "notes.txt" "$out.log" && NothingFinished'
rm "$work/vendor/notes.txt"
cp "$work/vendor/SentinelRMSLicenseManager9.7.0.msi" "$work/vendor/SentinelRMSLicenseManager9.8.0.msi"
Release rejected
Check "a medium the check rejects leaves nothing finished" \
  eval 'grep -q "2 licence-manager packages" "$out.log" && NothingFinished'
rm "$work/vendor/SentinelRMSLicenseManager9.8.0.msi"

bash "$root/tests/signing/make_test_key.sh" "$work/key"
Release signed --pkcs12 "$work/key/test.p12" --password-file "$work/key/password.txt"
/usr/bin/python3 -m zipfile -e "$out/$name/$name.zip" "$work/unzipped"
Check "the signed setup.exe in the zip verifies" \
  osslsigncode verify -CAfile "$work/key/cert.pem" -in "$work/unzipped/$name/setup.exe"

echo "release: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
