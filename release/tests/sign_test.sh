#!/usr/bin/env bash
# release/sign on copies of the shipped setup.exe, with throwaway keys and
# real faults: a nearly full file system, a run killed mid-way, cut-off
# files, certificates out of their dates; a key that exists only in a SoftHSM
# token, and local RFC 3161 authorities that answer, answer slowly or refuse.
# usage: sign_test.sh SETUP_EXE VERSION WORK_DIR
. "$NERIM_ROOT/tests/lib.sh"
setup_exe=$(realpath "$1") version=$2 work=$3
here=$root/release/tests
sign=$root/release/sign
Verifies() { osslsigncode verify -CAfile "$work/key/cert.pem" -in "$1" >/dev/null 2>&1; }
Untouched() { cmp -s "$setup_exe" "$1"; }
NoTemporary() { [ -z "$(find "$work" -name '.*.staged.*')" ]; }
Sign() { "$sign" --roots "$roots" --pkcs12 "$work/${KEY:-key}/test.p12" --password-file "$work/${KEY:-key}/password.txt" "$@"; }

# Each row runs in a fresh folder holding a copy of setup.exe as target.exe
# (sign there is $sign); a failure's last line is sign's, and every
# "Then" check after a row looks at what it left.
expect_tool=sign
ExpectCommand() {
  rm -rf "$work/case" && mkdir "$work/case" && cp "$setup_exe" "$work/case/target.exe"
  (cd "$work/case" && eval "$*")
}
# OsslsigncodeStandIn NAME SCRIPT: an osslsigncode in $work/NAME that runs
# SCRIPT, then the real one.
OsslsigncodeStandIn() {
  mkdir -p "$work/$1"
  printf '#!/bin/sh\n%s\nexec %s "$@"\n' "$2" "$(command -v osslsigncode)" > "$work/$1/osslsigncode"
  chmod +x "$work/$1/osslsigncode"
}
Then() {  # CHECK...: one more check on the case just run
  if (cd "$work/case" && "$@"); then Pass; else Failed "$last_what: $*" "$last_output"; fi
}

rm -rf "$work"
mkdir -p "$work"
bash "$here/make_test_key.sh" "$work/key"
bash "$here/make_test_key.sh" "$work/expired" "Old Signer" 20200101000000Z 20210101000000Z
bash "$here/make_test_key.sh" "$work/future" "New Signer" 20400101000000Z 20410101000000Z
# The test's self-signed certificates are trusted only as the roots it gives.
roots=$work/roots.pem
cat "$work/key/cert.pem" > "$roots"
echo wrong > "$work/wrong.txt"
{ cat "$work/key/password.txt"; echo "a second line"; } > "$work/two-lines.txt"

Expect 0 "signed target.exe" "setup.exe is signed and still passes the PE checks" -- Sign target.exe
Then Verifies target.exe
Then eval '/usr/bin/python3 "$root/tests/check_pe.py" target.exe "$version" >/dev/null'
Expect 0 "signer: CN = Nerim Test Signer" "the password is the file's first line, as --help says" -- \
  "$sign" --roots "$roots" --cert ../key/cert.pem --key ../key/key.pem --password-file ../two-lines.txt target.exe
Expect 1 "wrong password for ../key/test.p12" "a wrong password is named" -- \
  "$sign" --roots "$roots" --pkcs12 ../key/test.p12 --password-file ../wrong.txt target.exe
Then Untouched target.exe
Expect 1 "cannot read $work/missing.pem" "a missing key is named" -- \
  "$sign" --roots "$roots" --cert ../key/cert.pem --key "$work/missing.pem" target.exe
Expect 1 "signed already; --replace" "a signed file is refused without --replace" -- \
  'Sign target.exe >/dev/null && Sign target.exe'
Expect 1 "signed already; --replace" "a signed file whose name holds a space is refused without --replace" -- \
  'mv target.exe "the target.exe" && Sign "the target.exe" >/dev/null && Sign "the target.exe"'
# A PKCS#12 file that carries another certificate beside the signer's (an
# authority's, as a bought one does; here an expired one): the signer is the
# one that goes with the key.
openssl pkcs12 -export -in "$work/key/cert.pem" -inkey "$work/key/key.pem" -certfile "$work/expired/cert.pem" \
  -passin "file:$work/key/password.txt" -passout "pass:$(cat "$work/key/password.txt")" -out "$work/key/chain.p12"
Expect 0 "signer: CN = Nerim Test Signer" "a PKCS#12 file with another certificate: the key's own is the signer" -- \
  "$sign" --roots "$roots" --pkcs12 ../key/chain.p12 --password-file ../key/password.txt target.exe
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
OsslsigncodeStandIn slow "[ \"\$1\" = sign ] && touch $work/signing && exec sleep 30"
Expect 0 "removed ./.target.exe.staged." "leftovers of a killed run are named and removed" -- \
  '(PATH=$work/slow:$PATH setsid "$sign" --roots "$roots" --pkcs12 ../key/test.p12 --password-file ../key/password.txt \
      ./target.exe >/dev/null 2>&1 & for _ in $(seq 300); do [ -e "$work/signing" ] && break; sleep 0.1; done
    kill -KILL -- -$!; wait) ;
   ls -A | grep -q "^.target.exe.staged." && Sign ./target.exe'
Then NoTemporary
Then Verifies target.exe

# A token holding the keys of "signer" (valid now, for 30 days) and "old"
# (expired) with their certificates; the keys' files are gone.
bash "$here/make_test_key.sh" "$work/token-signer" "Nerim Token Signer"
bash "$here/make_test_key.sh" "$work/token-old" "Old Token Signer" 20200101000000Z 20210101000000Z
cat "$work/token-signer/cert.pem" >> "$roots"
for object in signer old; do bash "$here/make_test_key.sh" --token "$work/token" "$work/token-$object" $object; done
export SOFTHSM2_CONF=$work/token/softhsm2.conf
module=$(cat "$work/token/module")
Token() {  # sign with the token; OBJECT, CERT and PIN change what it is given
  local uri="pkcs11:token=Nerim%20Test%20Token;object=${OBJECT:-signer}"
  "$sign" --roots "$roots" --pkcs11-module "$module" --key "$uri;type=private" --cert "${CERT:-$uri;type=cert}" \
    --password-file "${PIN:-$work/token/pin.txt}" "$@"
}
# Two authorities, one answering at once, one after 3 s; 127.0.0.1:9 refuses.
trap 'kill $(cat "$work"/tsa-*/pid 2>/dev/null) 2>/dev/null' EXIT
fast=$(/usr/bin/python3 "$here/timestamp_authority.py" "$work/tsa-0" 0)
slow=$(/usr/bin/python3 "$here/timestamp_authority.py" "$work/tsa-3" 3)
cat "$work"/tsa-*/tsa.crt > "$work/tsa-roots.pem"
Stamp() { Token --timestamp-ca "$work/tsa-roots.pem" "$@"; }
# Whether FILE verifies at the moment SECONDS (since 1970), as Windows would
# then: a stamped signature by its time stamp, an unstamped one by that moment.
VerifiesAt() {
  osslsigncode verify -CAfile "$work/token-signer/cert.pem" -TSA-CAfile "$work/tsa-roots.pem" \
    -time "$1" -in "$2" >/dev/null 2>&1
}
expired_45_days=$(( $(date -d "$(openssl x509 -noout -enddate -in "$work/token-signer/cert.pem" |
                                 cut -d= -f2)" +%s) + 45 * 86400 ))
# Counting its signing runs and taking a second over each, so that a
# password on its command line would be seen.
OsslsigncodeStandIn watched "[ \"\$1\" = sign ] && echo >> $work/sign-runs && sleep 1"
# Stamping the first file, then no more.
OsslsigncodeStandIn once "[ \"\$1\" = add ] && [ -e $work/added ] && exit 1; [ \"\$1\" = add ] && touch $work/added"
# Verifying nothing.
OsslsigncodeStandIn unverified '[ "$1" = verify ] && exit 1'
# Verifying nothing at a moment other than now.
OsslsigncodeStandIn now-only '[ "$1" = verify ] && case " $* " in *" -time "*) exit 1 ;; esac'

Expect 0 "signed target.exe, time-stamped by $fast at" \
  "a key only in the token, its certificate there too; the first authority refuses, the second stamps" -- \
  Stamp --timestamp http://127.0.0.1:9 --timestamp "$fast" target.exe
Then eval 'grep -q "key: in the token \"Nerim Test Token\" through the PKCS#11 module libsofthsm2.so" <<<"$last_output"'
Then VerifiesAt "$expired_45_days" target.exe
Expect 0 "stop verifying on" "a key in the token with its certificate in a file; unstamped, it says when it stops verifying" -- \
  CERT=../token-signer/cert.pem Token target.exe
Then VerifiesAt "$(date +%s)" target.exe
Then eval '! VerifiesAt "$expired_45_days" target.exe'
Expect 1 "no time-stamping authority answered (http://127.0.0.1:9: connection refused" \
  "every authority down: nothing is signed" -- \
  Stamp --timestamp http://127.0.0.1:9 --timestamp http://127.0.0.1:9/again target.exe
Then Untouched target.exe
Then NoTemporary
Expect 1 "its signature does not verify against the trusted roots" \
  "a signed copy that does not verify is not taken" -- 'PATH=$work/unverified:$PATH Sign target.exe'
Then Untouched target.exe
Expect 1 "stop verifying when the certificate expires; target.exe is untouched" \
  "a time-stamped signature that would not outlive its certificate is not taken" -- \
  'PATH=$work/now-only:$PATH Stamp --timestamp "$fast" target.exe'
# Verifying nothing after the certificate has expired, and all before it: a
# check made at any moment but after expiry passes what would stop verifying.
expires=$(date -d "$(openssl x509 -noout -enddate -in "$work/token-signer/cert.pem" | cut -d= -f2)" +%s)
OsslsigncodeStandIn lapses "[ \"\$1\" = verify ] && case \" \$* \" in *' -time '*)
  [ \"\$(echo \" \$* \" | sed 's/.* -time \\([0-9]*\\) .*/\\1/')\" -gt $expires ] && exit 1 ;; esac"
Expect 1 "stop verifying when the certificate expires; target.exe is untouched" \
  "the lasting signature is checked at a moment after the certificate has expired" -- \
  'PATH=$work/lapses:$PATH Stamp --timestamp "$fast" target.exe'
Expect 1 "second.exe: no time-stamping authority answered" \
  "no file is replaced unless every one was signed and stamped" -- \
  'cp target.exe second.exe && PATH=$work/once:$PATH Stamp --timestamp "$fast" target.exe second.exe'
Then eval 'Untouched target.exe && Untouched second.exe && NoTemporary'
Expect 1 "its time stamp does not verify against the authorities' roots" \
  "a time stamp that no known root vouches for is not taken" -- Token --timestamp "$fast" target.exe
Then Untouched target.exe
Expect 1 "the token refused the PIN in ../wrong.txt (tried once" \
  "a wrong PIN is tried once, whatever the files and authorities" -- \
  'cp target.exe second.exe && PATH=$work/watched:$PATH PIN=../wrong.txt \
     Stamp --timestamp http://127.0.0.1:9 --timestamp "$fast" target.exe second.exe'
Then eval '[ "$(wc -l < "$work/sign-runs")" = 1 ] && Untouched target.exe && Untouched second.exe'
# Handing on what osslsigncode is given to read the PIN from, and keeping a copy.
OsslsigncodeStandIn pin-copy "[ \"\$1\" = sign ] && { tee $work/given-pin | $(command -v osslsigncode) \"\$@\"; exit; }"
Expect 0 "signed target.exe" "a PIN file with a Windows line end: the PIN without it" -- \
  'printf "%s\r\n" "$(cat "$work/token/pin.txt")" > ../crlf-pin.txt &&
   PATH=$work/pin-copy:$PATH PIN=../crlf-pin.txt Token target.exe'
Then eval '! grep -q $'"'"'\r'"'"' "$work/given-pin"'
# What reaches the token, counted by OpenSC's PKCS#11 spy between the signer
# and the module: a provider-based osslsigncode (2.10 and later) logged in
# twice where it read the certificate from the token itself.
spy=$(ls /usr/lib/*/pkcs11-spy.so 2>/dev/null | head -n 1)
if [ -n "$spy" ]; then
  Expect 1 "the token refused the PIN" "a wrong PIN reaches the token once, counted by a PKCS#11 spy" -- \
    'PKCS11SPY=$module PKCS11SPY_OUTPUT=$work/spy.log module=$spy PIN=../wrong.txt Token target.exe'
  Then eval '[ "$(grep -c "C_Login" "$work/spy.log")" = 1 ]'
else
  NotRun "the PIN's count at the token: no PKCS#11 spy (Debian package opensc-pkcs11)"
fi
for lib in "$work/wrong.txt" "$work/none.so"; do
  Expect 1 "cannot load the PKCS#11 module $lib" "a module that cannot be loaded: $lib" -- \
    'module=$lib Token target.exe'
done
Expect 1 "no key in the token matches pkcs11:token=Nerim%20Test%20Token;object=none" "a URI with no key" -- \
  OBJECT=none CERT=../token-signer/cert.pem Token target.exe
Then Untouched target.exe
Expect 1 "no certificate in the token matches" "a URI with no certificate" -- OBJECT=none Token target.exe
Expect 1 "does not belong to the certificate ../key/cert.pem" "a key and a certificate not of a pair" -- \
  CERT=../key/cert.pem Token target.exe
Then Untouched target.exe
Expect 1 "its certificate expired on Jan  1 00:00:00 2021" "an expired certificate in the token" -- \
  OBJECT=old Token target.exe
for pinned in key cert; do
  uri="pkcs11:token=Nerim%20Test%20Token;object=signer;type=private" cert_uri="${uri%private}cert"
  [ $pinned = key ] && uri="$uri?pin-value=1234" || cert_uri="$cert_uri?pin-value=1234"
  output=$("$sign" --roots "$roots" --pkcs11-module "$module" --key "$uri" --cert "$cert_uri" \
             --password-file "$work/wrong.txt" "$work/key/cert.pem" 2>&1)
  ExpectRun 2 "put it in --password-file" "a PIN written in the --$pinned URI is refused" $? "$output"
done
# Certificates as an authority issues them: a root outside the system's
# bundle, an intermediate, leaves with CRL and AIA pointers, the CRL served
# here with one leaf revoked, RSA and ECDSA keys in the token.
trap 'kill $(cat "$work"/tsa-*/pid "$work/ca/crl.pid" 2>/dev/null) 2>/dev/null' EXIT
crls=$(/usr/bin/python3 "$here/file_server.py" "$work/ca/crl")
bash "$here/make_test_key.sh" --ca "$work/ca" "$crls/intermediate.crl"
Leaf() { bash "$here/make_test_key.sh" --leaf "$work/ca" "$work/ca-$1" "Nerim $1" "${@:2}"; }
Leaf token && rm "$work/ca-token/full.pem"  # its intermediate only in --chain
Leaf ec ec256
for object in token ec; do bash "$here/make_test_key.sh" --token "$work/token" "$work/ca-$object" $object; done
Leaf file
Leaf revoked && bash "$here/make_test_key.sh" --revoke "$work/ca" "$work/ca-revoked"
Leaf unreachable rsa3072 codeSigning http://127.0.0.1:9/intermediate.crl
Leaf tls rsa3072 serverAuth
Leaf small rsa2048
CaSign() { "$sign" --roots ../ca/root.pem "$@" target.exe; }
Leaf12() { CaSign --pkcs12 "../ca-$1/test.p12" --password-file "../ca-$1/password.txt" "${@:2}"; }
# Whether target.exe verifies with the root alone, the rest from its signature.
VerifiesWithRoot() { osslsigncode verify -CAfile "$work/ca/root.pem" -in target.exe >/dev/null 2>&1; }
Expect 0 "signed target.exe" "a token's leaf, its intermediate from --chain" -- \
  OBJECT=token CERT="'pkcs11:token=Nerim%20Test%20Token;object=token;type=cert'" \
  Token --roots ../ca/root.pem --chain ../ca/intermediate.pem target.exe
Then VerifiesWithRoot
Expect 0 "chain: \"CN = Nerim ec, O = Brenk\" < \"CN = Nerim Test Code Signing CA" \
  "an ECDSA P-256 leaf in the token, its intermediate from the token" -- \
  OBJECT=ec Token --roots ../ca/root.pem target.exe
Then VerifiesWithRoot
Expect 0 "revocation: not revoked (CRL from $crls/intermediate.crl)" "leaf and chain in a file" -- \
  CaSign --cert ../ca-file/full.pem --key ../ca-file/key.pem --password-file ../ca-file/password.txt
Then VerifiesWithRoot
Expect 0 "signed target.exe" "leaf and chain in a PKCS#12 file" -- Leaf12 file
Then VerifiesWithRoot
Expect 1 "no certificate of its issuer \"CN = Nerim Test Code Signing CA, O = Brenk Test CA\"" \
  "no chain: refused before the key is used, naming the missing issuer" -- \
  CaSign --cert ../ca-file/cert.pem --key ../ca-file/key.pem --password-file ../ca-file/password.txt
Then Untouched target.exe
Expect 1 "its certificate was revoked on" "a revoked certificate" -- Leaf12 revoked
Then Untouched target.exe
Expect 0 "revocation not checked: http://127.0.0.1:9/intermediate.crl could not be reached" \
  "a CRL that cannot be reached is said, not fatal" -- Leaf12 unreachable
Expect 0 "revocation: not revoked (CRL from ../ca/crl/intermediate.crl)" "a CRL given by hand" -- \
  Leaf12 unreachable --crl ../ca/crl/intermediate.crl
Expect 1 "it is not for code signing" "a certificate for TLS servers only" -- Leaf12 tls
Then Untouched target.exe
Expect 1 "its key is RSA of 2048 bits; code signing needs at least 3072" "a key too small" -- Leaf12 small
Expect 1 "its chain ends at the self-signed \"CN = Nerim Test Signer, O = Brenk\", which is not among" \
  "a self-signed certificate under no given root" -- \
  "$sign" --pkcs12 ../key/test.p12 --password-file ../key/password.txt target.exe
Then Untouched target.exe
# The PIN on no command line: every process's is read while sign works
# (each signing run takes a second more, the authority three).
Expect 0 "time-stamped by $slow" "the PIN stands on no command line and in nothing printed" -- \
  '(PATH=$work/watched:$PATH Stamp --timestamp "$slow" target.exe > ../out.txt 2>&1) & signing=$!
   while kill -0 $signing 2>/dev/null; do
     cat /proc/[0-9]*/cmdline 2>/dev/null | tr "\0" " " | grep -F -f "$work/token/pin.txt"; sleep 0.05
   done > ../seen.txt; cat ../out.txt'
Then eval '[ ! -s ../seen.txt ] && ! grep -qF -f "$work/token/pin.txt" ../out.txt'

Summary signing
