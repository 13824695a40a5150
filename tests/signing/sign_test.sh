#!/usr/bin/env bash
# scripts/sign.sh on a copy of the shipped setup.exe, with a throwaway key.
# usage: sign_test.sh SETUP_EXE VERSION WORK_DIR
set -uo pipefail
setup_exe=$1 version=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
sign=$here/../../scripts/sign.sh
passed=0 failed=0
Check() {
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; fi
}
Verifies() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1"; }
Says() { grep -qF -- "$1" <<<"$out"; }

rm -rf "$work"
bash "$here/make_test_key.sh" "$work"
cp "$setup_exe" "$work/setup.exe"
"$sign" --pkcs12 "$work/test.p12" --password-file "$work/password.txt" "$work/setup.exe" >/dev/null
Check "the signed setup.exe verifies against the test certificate" Verifies "$work/setup.exe"
Check "the signed setup.exe passes the PE checks" \
  /usr/bin/python3 "$here/../check_pe.py" "$work/setup.exe" "$version"
cp "$work/setup.exe" "$work/changed.exe"
printf 'X' | dd of="$work/changed.exe" bs=1 seek=1024 conv=notrunc 2>/dev/null
Check "a byte changed after signing fails verification" eval '! Verifies "$work/changed.exe"'

cp "$setup_exe" "$work/untouched.exe"
echo wrong > "$work/wrong.txt"
out=$("$sign" --pkcs12 "$work/test.p12" --password-file "$work/wrong.txt" "$work/untouched.exe" 2>&1)
Check "a wrong password is named" Says "wrong password for $work/test.p12"
out=$("$sign" --cert "$work/cert.pem" --key "$work/missing.pem" "$work/untouched.exe" 2>&1)
Check "a missing key is named" Says "cannot read $work/missing.pem"
Check "both leave the file untouched" cmp "$setup_exe" "$work/untouched.exe"
Check "no temporary file is left" test -z "$(find "$work" -name '.sign-*')"
out=$("$sign" --pkcs12 "$work/test.p12" --password-file "$work/password.txt" "$work/setup.exe" 2>&1)
Check "a signed file is refused without --replace" Says "signed already"

echo "signing: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
