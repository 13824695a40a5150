#!/usr/bin/env bash
# release/sign.sh on copies of the shipped setup.exe, with throwaway keys and
# real faults: a nearly full file system, a run killed mid-way, cut-off
# files, certificates out of their dates.
# usage: sign_test.sh SETUP_EXE VERSION WORK_DIR
set -uo pipefail
setup_exe=$(realpath "$1") version=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
sign=$here/../sign.sh
. "$here/../../tests/lib.sh"
Verifies() { osslsigncode verify -CAfile "$work/key/cert.pem" -in "$1" >/dev/null 2>&1; }
Untouched() { cmp -s "$setup_exe" "$1"; }
NoTemporary() { [ -z "$(find "$work" -name '.sign-*')" ]; }
Sign() { "$sign" --pkcs12 "$work/${KEY:-key}/test.p12" --password-file "$work/${KEY:-key}/password.txt" "$@"; }

# Expect CODE TEXT DESCRIPTION -- COMMANDS: runs COMMANDS in a fresh folder
# holding a copy of setup.exe as target.exe (sign.sh there is $sign) and
# expects exit CODE, TEXT in what it printed, and every "Then" check after it.
Expect() {
  local code=$1 text=$2 what=$3 output status
  shift 4
  rm -rf "$work/case" && mkdir "$work/case" && cp "$setup_exe" "$work/case/target.exe"
  output=$(cd "$work/case" && eval "$*" 2>&1)
  status=$?
  last_output=$output last_what=$what
  ExpectRun "$code" "$text" "$what" "$status" "$output"
}
Then() {  # CHECK...: one more check on the case just run
  if (cd "$work/case" && "$@"); then Pass; else Failed "$last_what: $*" "$last_output"; fi
}

rm -rf "$work"
mkdir -p "$work"
bash "$here/make_test_key.sh" "$work/key"
bash "$here/make_test_key.sh" "$work/expired" "Old Signer" 20200101000000Z 20210101000000Z
bash "$here/make_test_key.sh" "$work/future" "New Signer" 20400101000000Z 20410101000000Z
echo wrong > "$work/wrong.txt"
{ cat "$work/key/password.txt"; echo "a second line"; } > "$work/two-lines.txt"

Expect 0 "signed target.exe" "setup.exe is signed and still passes the PE checks" -- Sign target.exe
Then Verifies target.exe
Then eval '/usr/bin/python3 "$here/../../tests/check_pe.py" target.exe "$version" >/dev/null'
Expect 0 "signer: CN = Nerim Test Signer" "the password is the file's first line, as --help says" -- \
  "$sign" --cert ../key/cert.pem --key ../key/key.pem --password-file ../two-lines.txt target.exe
Expect 1 "wrong password for ../key/test.p12" "a wrong password is named" -- \
  "$sign" --pkcs12 ../key/test.p12 --password-file ../wrong.txt target.exe
Then Untouched target.exe
Expect 1 "cannot read $work/missing.pem" "a missing key is named" -- \
  "$sign" --cert ../key/cert.pem --key "$work/missing.pem" target.exe
Expect 1 "signed already; --replace" "a signed file is refused without --replace" -- \
  'Sign target.exe >/dev/null && Sign target.exe'
Expect 1 "its certificate expired on Jan  1 00:00:00 2021 GMT" "an expired certificate is refused" -- \
  KEY=expired Sign --timestamp http://127.0.0.1:9 target.exe
Then Untouched target.exe
Expect 1 "its certificate is not valid before Jan  1 00:00:00 2040" "a certificate not valid yet is refused" -- \
  KEY=future Sign target.exe
Expect 1 "target.exe is cut off: section .reloc ends" "a cut-off program is not signed" -- \
  'truncate -s -1 target.exe && Sign target.exe'
Expect 1 "mid.exe is cut off: its signature ends" "a cut-off signed program is not signed anew" -- \
  'Sign target.exe >/dev/null && head -c -100 target.exe > mid.exe && Sign --replace mid.exe'

# osslsigncode here exits 0 with a cut-off file when its writes fail: with 60
# KiB free it has room for the unsigned copy but not all of the signed one.
if mount -t tmpfs -o size=256k nerim-sign-test "$work/case" 2>/dev/null; then
  umount "$work/case"
  Expect 1 "is not whole (is cut off" "a nearly full file system leaves setup.exe untouched" -- \
    'cd .. && mount -t tmpfs -o size=256k nerim-sign-test case && cd case &&
     cp "$setup_exe" target.exe && { dd if=/dev/zero of=filler bs=4k 2>/dev/null; truncate -s -60K filler; } &&
     Sign target.exe; code=$?; Untouched target.exe && NoTemporary || code=99; cd .. && umount case; exit $code'
else
  NotRun "the full file system: no tmpfs can be mounted here (not root?)"
fi

# A run killed while osslsigncode works leaves its temporary files; the next
# run removes them and says so.
mkdir -p "$work/slow"
printf '#!/bin/sh\n[ "$1" = sign ] && exec sleep 30\nexec /usr/bin/osslsigncode "$@"\n' > "$work/slow/osslsigncode"
chmod +x "$work/slow/osslsigncode"
Expect 0 "removed ./.sign-" "leftovers of a killed run are named and removed" -- \
  '(PATH=$work/slow:$PATH setsid "$sign" --pkcs12 ../key/test.p12 --password-file ../key/password.txt \
      ./target.exe >/dev/null 2>&1 & sleep 3; kill -KILL -- -$!; wait) ;
   ls -A | grep -q "^.sign-" && Sign ./target.exe'
Then NoTemporary
Then Verifies target.exe

Summary signing
