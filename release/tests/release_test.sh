#!/usr/bin/env bash
# release/release on the sample medium's packages, then with real faults:
# a run killed mid-way, two runs at once, a full file system, a failing
# xorriso, flags in the environment, bad vendor files and certificates; a
# key that exists only in a SoftHSM token, with a local time-stamping authority.
# usage: release_test.sh SAMPLE_MEDIUM WORK_DIR
. "$NERIM_ROOT/tests/lib.sh"
sample=$1 work=$2
FailureDetails() { cat "$out.log"; }
Release() {  # OUT [options]: sets $out; the output is in $out.log
  out=$work/$1; shift
  "$root/release/release" --vendor "$work/vendor" --out "$out" --allow-dirty "$@" >"$out.log" 2>&1
}
NothingFinished() { [ -z "$(ls -A "$out" 2>/dev/null)" ]; }
# Exit 1, ending with one "release:" line that says TEXT, no "ready to ship".
FailedWith() {
  [ "$1" = 1 ] && tail -n 1 "$out.log" | grep -q "^release: .*$2" &&
    ! grep -q "ready to ship" "$out.log"
}
Same() { diff <(cd "$1" && ls) <(sed 's|^.*/||' <<<"$2" | sort) >/dev/null; }
Whole() { (cd "$1" && sha256sum --quiet -c SHA256SUMS) >/dev/null 2>&1; }
StandIn() {  # NAME SCRIPT: a program of that name on $work/bin/NAME's PATH
  mkdir -p "$work/bin/$1" && printf '#!/bin/sh\n%s\n' "$2" > "$work/bin/$1/$1" && chmod +x "$work/bin/$1/$1"
}

rm -rf "$work"
mkdir -p "$work/vendor"
cp "$sample"/* "$work/vendor/"
rm "$work/vendor/setup.exe"
name=Nerim-$("$root/release/setup-version" "$sample/setup.exe")
bash "$root/release/tests/make_test_key.sh" "$work/key"
bash "$root/release/tests/make_test_key.sh" "$work/expired" "Old Signer" 20200101000000Z 20210101000000Z

Release first
release=$out/$name
Check "the release passes, its SHA256SUMS with it" Whole "$release"
Check "the zip holds exactly the medium" \
  Same "$release/$name" "$(/usr/bin/python3 -m zipfile -l "$release/$name.zip" | awk 'NR > 1 {print $1}')"
Check "the ISO holds exactly the medium" \
  Same "$release/$name" "$(xorriso -no_rc -indev "$release/$name.iso" -find / -type f 2>/dev/null | tr -d "'")"
Check "RELEASE.txt names the compiler and the linker" grep -q "^built with: .*g++.*GNU ld" "$release/RELEASE.txt"
Check "SHA256SUMS lists every file of the release" \
  eval 'diff <(cd "$release" && find . -type f ! -name SHA256SUMS | sed "s|^\./||" | sort) \
             <(sed "s/^[0-9a-f]*  //" "$release/SHA256SUMS" | sort)'
# The SBOM, against CycloneDX 1.6's published schema (npm's
# @cyclonedx/cyclonedx-library ships it; installed once beside the work folder).
bill=$release/$name.cdx.json
schemas=$work/../cyclonedx/node_modules/@cyclonedx/cyclonedx-library/res/schema
[ -e "$schemas/bom-1.6.SNAPSHOT.schema.json" ] ||
  npm install --prefix "$work/../cyclonedx" --no-audit --no-fund --no-save --ignore-scripts \
    @cyclonedx/cyclonedx-library@10.3.0 >"$work/npm.log" 2>&1
if [ -e "$schemas/bom-1.6.SNAPSHOT.schema.json" ]; then
  Check "the SBOM is valid CycloneDX 1.6" /usr/bin/python3 "$root/release/tests/validate_sbom.py" "$schemas" "$bill"
else
  NotRun "the SBOM against CycloneDX's schema: npm could not install it ($(grep -m1 -i err "$work/npm.log" 2>/dev/null || echo "no npm"))"
fi
Check "the SBOM holds each file's SHA-256" \
  eval 'for file in "$release/$name"/*; do grep -q "\"content\": \"$(sha256sum "$file" | cut -c1-64)\"" "$bill" || exit 1; done'
Check "the licence manager's component has the version of its name and its table" \
  eval '/usr/bin/python3 "$root/release/tests/validate_sbom.py" --list "$bill" > "$work/components.txt" &&
        grep -qx "SentinelRMSLicenseManager9.7.0.msi 9.7.0" "$work/components.txt"'
Check "RELEASE.txt's build record names the runtime's and libgcc's packages with their versions" \
  eval 'grep -q "^  mingw-w64-i686-dev [0-9]" "$release/RELEASE.txt" && grep -q "^  gcc-mingw-w64-i686-win32 [0-9]" "$release/RELEASE.txt"'
# The medium held against its SBOM, as a customer checks it on receipt.
SbomCheck() {  # CHANGE: a copy of the medium changed so, checked against the SBOM
  rm -rf "$work/received" && cp -r "$release/$name" "$work/received" && (cd "$work/received" && eval "$1") &&
    "$root/release/check-medium" --sbom "$bill" "$work/received" 2>&1
}
Check "the release passes the check against its SBOM" \
  eval 'SbomCheck true > "$work/sbom-check.txt" && grep -q "ready to ship" "$work/sbom-check.txt"'
for fault in "cp ISScript10.Msi SentinelRMSLicenseManager9.7.0.msi=SentinelRMSLicenseManager9.7.0.msi: its SHA-256 is not" \
             "mv ISScript10.Msi isscript10.msi=isscript10.msi is not in the SBOM" \
             "cp setup.exe extra.exe=extra.exe is not in the SBOM"; do
  Check "the check against the SBOM fails: ${fault%%=*}" \
    eval 'SbomCheck "${fault%%=*}" > "$work/sbom-check.txt"; [ $? = 1 ] && grep -qF "${fault#*=}" "$work/sbom-check.txt"'
done
CXXFLAGS=-fno-inline LDFLAGS=-g Release second
Check "a second run, with flags in the environment, gives the same archives" \
  eval 'cmp "$release/$name.zip" "$out/$name/$name.zip" && cmp "$release/$name.iso" "$out/$name/$name.iso" &&
        cmp "$release/$name.cdx.json" "$out/$name/$name.cdx.json"'
Release first
Check "an existing release is not overwritten" FailedWith $? "--force replaces it"
Release first --force
Check "--force replaces it with a whole release" eval 'Whole "$release" && [ -z "$(ls -A "$out" | grep -v "^Nerim-")" ]'

# Killed while writing the ISO image, with --force: the old release stays
# whole under its name, a second run meanwhile is refused, and the next run
# removes what the killed one left.
StandIn xorriso "touch '$work/xorriso-started'; exec sleep 60"
PATH=$work/bin/xorriso:$PATH setsid "$root/release/release" --vendor "$work/vendor" \
  --out "$work/first" --allow-dirty --force >"$work/killed.log" 2>&1 &
killed=$!
for _ in $(seq 120); do [ -e "$work/xorriso-started" ] && break; sleep 0.5; done
Release first --force
Check "a second run into the same --out is refused" FailedWith $? "another release is writing into"
kill -KILL -- -"$killed"; wait "$killed" 2>/dev/null
Check "the killed run left the old release whole" Whole "$release"
Release first --force
Check "the next run names and removes the killed run's folder" \
  eval 'grep -q "removed $out/.Nerim-build.staged.* left by a killed run" "$out.log" && Whole "$release" &&
        [ -z "$(ls -A "$out" | grep -v "^Nerim-")" ]'

StandIn xorriso 'echo "xorriso : FAILURE : the stand-in fails" >&2; exit 5'
PATH=$work/bin/xorriso:$PATH Release isofail
Check "xorriso's own words and one release line" \
  eval 'FailedWith 1 "xorriso could not write" && grep -q "the stand-in fails" "$out.log" && NothingFinished'

if mkdir -p "$work/full" && mount -t tmpfs -o size=2m nerim-release-test "$work/full" 2>/dev/null; then
  Release full
  Check "a full file system ends with one release line, nothing finished" \
    eval 'FailedWith 1 "" && NothingFinished'
  umount "$work/full"
else
  NotRun "the full file system: no tmpfs can be mounted here (not root?)"
fi

# A change staged for commit but not committed is uncommitted all the same.
checkout=$work/checkout
mkdir -p "$checkout"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
   while IFS= read -r -d '' file; do [ ! -f "$file" ] || printf '%s\0' "$file"; done |
   xargs -0 cp --parents -t "$checkout")
git -C "$checkout" init -q && git -C "$checkout" add -A &&
  git -C "$checkout" -c user.name=test -c user.email=test@invalid commit -qm copy
echo "# staged, not committed" >> "$checkout/README.md" && git -C "$checkout" add README.md
out=$work/dirty
"$checkout/release/release" --vendor "$work/vendor" --out "$out" >"$out.log" 2>&1
status=$?
Check "a staged change is not released without --allow-dirty" \
  eval 'FailedWith $status "uncommitted changes to README.md; commit them, or give --allow-dirty" && NothingFinished'
touch "$work/vendor/notes.txt"
Release stray
Check "a stray vendor file is refused by name, nothing finished" \
  eval 'FailedWith 1 "notes.txt is not part of a medium" && NothingFinished'
rm "$work/vendor/notes.txt"
mkfifo "$work/vendor/SentinelRMSLicenseManager9.8.0.msi"
Release fifo
Check "a FIFO among the vendor files is refused" eval 'FailedWith 1 "9.8.0.msi is not a regular file"'
rm "$work/vendor/SentinelRMSLicenseManager9.8.0.msi"
: > "$work/vendor/isscript10.msi"
Release twins
Check "names differing only in case are not shipped" eval 'FailedWith 1 "the medium check found errors" &&
  grep -q "differ only in letter case" "$out.log" && NothingFinished'
rm "$work/vendor/isscript10.msi"

Release old-signer --pkcs12 "$work/expired/test.p12" --password-file "$work/expired/password.txt"
Check "an expired certificate stops the release at signing" \
  eval 'FailedWith 1 "signing setup.exe and NerimInstaller.msi_: cannot sign with" && grep -q "expired on" "$out.log" && NothingFinished'
Release signed --pkcs12 "$work/key/test.p12" --password-file "$work/key/password.txt" --roots "$work/key/cert.pem"
/usr/bin/python3 -m zipfile -e "$out/$name/$name.zip" "$work/unzipped"
Check "the signed setup.exe in the zip verifies" \
  Quietly osslsigncode verify -CAfile "$work/key/cert.pem" -in "$work/unzipped/$name/setup.exe"
Check "RELEASE.txt names the signer and its dates, the key's file and when the signature stops verifying" \
  eval 'grep -q "^setup.exe and NerimInstaller.msi_ signed by CN = Nerim Test Signer, O = Brenk, valid .* to " "$out/$name/RELEASE.txt" &&
        grep -qx "  key: in the file test.p12" "$out/$name/RELEASE.txt" &&
        grep -q "^  no time stamp: it stops verifying on .* 20" "$out/$name/RELEASE.txt"'


# Signed with a key that exists only in a token, stamped by the second
# authority when the first refuses.
bash "$root/release/tests/make_test_key.sh" "$work/token-signer"
bash "$root/release/tests/make_test_key.sh" --token "$work/softhsm" "$work/token-signer" signer
export SOFTHSM2_CONF=$work/softhsm/softhsm2.conf
trap 'kill $(cat "$work/tsa/pid" 2>/dev/null) 2>/dev/null' EXIT
authority=$(/usr/bin/python3 "$root/release/tests/timestamp_authority.py" "$work/tsa" 0)
uri="pkcs11:token=Nerim%20Test%20Token;object=signer"
Release token --pkcs11-module "$(cat "$work/softhsm/module")" --key "$uri;type=private" \
  --cert "$uri;type=cert" --password-file "$work/softhsm/pin.txt" --timestamp http://127.0.0.1:9 \
  --timestamp "$authority" --timestamp-ca "$work/tsa/tsa.crt" --roots "$work/token-signer/cert.pem"
Check "a release signed through the token and time-stamped passes the medium check" \
  eval 'Whole "$out/$name" && grep -q "note: setup.exe: signed by .*, time-stamped at" "$out/$name/RELEASE.txt"'
Check "RELEASE.txt names the token, the module, the authority and the stamped time" \
  eval 'grep -qx "  key: in the token \"Nerim Test Token\" through the PKCS#11 module libsofthsm2.so" \
          "$out/$name/RELEASE.txt" && grep -q "^  time stamp: by $authority at .* 20" "$out/$name/RELEASE.txt"'
Check "its setup.exe still verifies 45 days after its certificate expired" \
  Quietly osslsigncode verify -CAfile "$work/token-signer/cert.pem" -TSA-CAfile "$work/tsa/tsa.crt" \
    -time $(( $(date +%s) + 75 * 86400 )) -in "$out/$name/$name/setup.exe"

# A certificate as an authority issues it, its key in the token: the
# release's setup.exe and main package verify with the root alone, the
# intermediate taken from their signatures.
crls=$(/usr/bin/python3 "$root/release/tests/file_server.py" "$work/ca/crl")
trap 'kill $(cat "$work/tsa/pid" "$work/ca/crl.pid" 2>/dev/null) 2>/dev/null' EXIT
bash "$root/release/tests/make_test_key.sh" --ca "$work/ca" "$crls/intermediate.crl"
bash "$root/release/tests/make_test_key.sh" --leaf "$work/ca" "$work/ca-signer" "Nerim CA Signer"
bash "$root/release/tests/make_test_key.sh" --token "$work/softhsm" "$work/ca-signer" casigner
uri="pkcs11:token=Nerim%20Test%20Token;object=casigner"
Release issued --pkcs11-module "$(cat "$work/softhsm/module")" --key "$uri;type=private" \
  --cert "$uri;type=cert" --password-file "$work/softhsm/pin.txt" --timestamp "$authority" \
  --timestamp-ca "$work/tsa/tsa.crt" --roots "$work/ca/root.pem"
issued=$out/$name
Check "a release signed with an authority's certificate through the token passes the medium check" \
  eval 'Whole "$issued" && grep -q "note: NerimInstaller.msi_: signed by .*CA Signer.*, time-stamped at" \
          "$issued/RELEASE.txt" && ! grep -q "not signed: .*NerimInstaller" "$issued/RELEASE.txt"'
for file in setup.exe NerimInstaller.msi_; do
  Check "its $file verifies with the root alone" \
    Quietly osslsigncode verify -CAfile "$work/ca/root.pem" -TSA-CAfile "$work/tsa/tsa.crt" \
      -in "$issued/$name/$file"
done
Check "RELEASE.txt names the chain, the root given with its fingerprint, and the revocation check" \
  eval 'grep -q "^  chain: \"CN = Nerim CA Signer, O = Brenk\" < \"CN = Nerim Test Code Signing CA" "$issued/RELEASE.txt" &&
        grep -qx "  root given: CN = Nerim Test Root, O = Brenk Test CA, SHA-256 $(openssl x509 -in "$work/ca/root.pem" \
          -noout -fingerprint -sha256 | sed "s/.*=//; s/://g")" "$issued/RELEASE.txt" &&
        grep -qx "  revocation: not revoked (CRL from $crls/intermediate.crl)" "$issued/RELEASE.txt"'
# Revoked after the release, and later with no CRL to be had: the medium
# check says each.
bash "$root/release/tests/make_test_key.sh" --revoke "$work/ca" "$work/ca-signer"
CheckMedium() { "$root/release/check-medium" --roots "$work/ca/root.pem" --timestamp-ca "$work/tsa/tsa.crt" "$issued/$name" 2>&1; }
Check "the medium check says a signer revoked since" \
  eval 'CheckMedium > "$work/revoked.txt"; grep -q "^error: setup.exe: its signer.s certificate was revoked on" "$work/revoked.txt"'
kill "$(cat "$work/ca/crl.pid")"
Check "... and a CRL that cannot be reached, without failing" \
  eval 'CheckMedium > "$work/unreached.txt"; [ $? = 0 ] &&
        grep -q "^warning: setup.exe: revocation not checked: $crls/intermediate.crl could not be reached" "$work/unreached.txt"'
Check "the PIN is in no file of the release and in nothing it printed" \
  eval '! grep -rqF -f "$work/softhsm/pin.txt" "$out" "$out.log"'

Summary release
