#!/usr/bin/env bash
# release/check-medium on the sample medium, then on copies broken one rule at a time.
# usage: medium_check_test.sh SETUP_EXE DRIVER_EXE WORK_DIR
. "$NERIM_ROOT/tests/lib.sh"
setup_exe=$(realpath "$1") driver_exe=$(realpath "$2") work=$3
here=$root
check=$root/release/check-medium

rm -rf "$work"
mkdir -p "$work"
"$here/medium/make-medium.sh" "$work/clean" "$setup_exe" "$driver_exe" >/dev/null
bash "$here/release/tests/make_test_key.sh" "$work/key"
bash "$here/release/tests/make_test_key.sh" "$work/expired" "Old Signer" 20200101000000Z 20210101000000Z
sign="$here/release/sign --roots $work/key/cert.pem --pkcs12 $work/key/test.p12 --password-file $work/key/password.txt"
# sign refuses an expired certificate; osslsigncode itself does not.
sign_expired="osslsigncode sign -pkcs12 $work/expired/test.p12 -readpass $work/expired/password.txt"

# Plants a fault in a program as tools that patch programs leave it.
Fault() { /usr/bin/python3 "$here/release/tests/faults.py" "$@"; }

# Overwrites 64 bytes of the package FILE where libmsi then finds its string
# table corrupt: the damage a bad copy or download does.
DamageStringTable() {
  local offset size
  size=$(stat -c %s "$1")
  for ((offset = 512; offset < size; offset += 128)); do
    cp "$1" "$work/damaged.msi"
    head -c 64 /dev/zero | tr '\0' Z | dd of="$work/damaged.msi" bs=1 seek=$offset conv=notrunc 2>/dev/null
    if msiinfo tables "$work/damaged.msi" 2>&1 >/dev/null | grep -q "string table"; then
      mv "$work/damaged.msi" "$1"
      return 0
    fi
  done
  echo "no 64 bytes of $1 damage its string table" >&2
  return 1
}

# Each row's COMMAND breaks a fresh copy of the clean medium (run inside it);
# the check of that copy, in a few lines and without hanging, is what the row
# expects. CHECK_ARGS are given to the check.
expect_max_lines=20
ExpectCommand() {
  local copy="$work/broken"
  rm -rf "$copy"
  cp -r "$work/clean" "$copy"
  (cd "$copy" && eval "$*") >/dev/null 2>&1
  PATH=${CHECK_PATH:-$PATH} /usr/bin/timeout 60 "$check" ${CHECK_ARGS:-} "$copy"
}

lm=SentinelRMSLicenseManager9.7.0.msi
version=$("$here/release/setup-version" "$setup_exe")
Expect 0 "not signed: ISScript10.Msi, NerimInstaller.msi_" "the sample medium is clean but unsigned" -- true
Expect 1 "NerimInstaller.msi_ is missing" "no main package" -- rm NerimInstaller.msi_
Expect 1 "is not a Windows Installer package" "main package is not an MSI" -- \
  'echo text > NerimInstaller.msi_'
Expect 1 "no SentinelRMSLicenseManager" "no licence-manager package" -- rm $lm
Expect 1 "2 licence-manager packages" "two licence-manager packages" -- \
  cp $lm SentinelRMSLicenseManager9.8.0.msi
Expect 1 "holds no version" "empty version" -- mv $lm SentinelRMSLicenseManager.msi
Expect 1 "lower-case" "upper-case extension" -- mv $lm SentinelRMSLicenseManager9.7.0.MSI
Expect 1 "lacks \"9.7.1\"" "product name without the version" -- \
  mv $lm SentinelRMSLicenseManager9.7.1.msi
Expect 1 "lacks \"Sentinel\"" "product name without the words" -- \
  "(cd '$here/medium' && sed 's/Name=\"Sentinel RMS License Manager/Name=\"RMS License Manager/' \
     license-manager.wxs > '$work/renamed.wxs' && wixl -D Version=9.7.0 -o '$work/broken/$lm' '$work/renamed.wxs')"
Expect 0 "warning: ISScript10.Msi is missing" "no scripting engine" -- rm ISScript10.Msi
Expect 1 "lacks \"Sentinel\"" "product name with the words in other letter case (setup.exe compares exactly)" -- \
  "(cd '$here/medium' && sed 's/Name=\"Sentinel RMS License Manager/Name=\"SENTINEL RMS License Manager/' \
     license-manager.wxs > '$work/renamed.wxs' && wixl -D Version=9.7.0 -o '$work/broken/$lm' '$work/renamed.wxs')"
Expect 1 "$lm is not a Windows Installer package" "a licence-manager file that is no package" -- \
  "echo text > $lm"
Expect 0 "ready to ship, with 1 warning" "marker folder and markers in other letter case (Windows' file names ignore it)" -- \
  "(cd '$here/medium' && sed 's/Name=\"Installers\"/Name=\"INSTALLERS\"/' nerim.wxs > '$work/cased.wxs' &&
    wixl -D ProductVersion=$version -D LS=1 -D DD=1 -D FAIL=0 -D LicenceMarker=OPTLS -D DriverMarker=OptDD \
      -o '$work/broken/NerimInstaller.msi_' '$work/cased.wxs')"
Expect 0 "ISScript10.Msi is named isscript10.msi: setup.exe still finds it" \
  "scripting engine in other letter case" -- \
  mv ISScript10.Msi isscript10.msi
Expect 0 "ready to ship, with 2 warnings" "no driver installer" -- \
  rm SentinelSystemDriverInstaller7.5.8.exe
Expect 0 "SentinelSystemDriverInstaller7.6.0.exe: setup.exe runs only" "another driver version too" -- \
  cp SentinelSystemDriverInstaller7.5.8.exe SentinelSystemDriverInstaller7.6.0.exe
Expect 1 "SentinelSystemDriverInstaller7.5.8.exe is empty" "empty driver installer" -- \
  ': > SentinelSystemDriverInstaller7.5.8.exe'
Expect 1 "setup.exe is missing" "no setup.exe" -- rm setup.exe
Expect 1 "setup.exe is not a Windows program" "setup.exe a text file" -- 'echo text > setup.exe'
Expect 1 "setup.exe is not a regular file but a folder" "setup.exe a folder" -- 'rm setup.exe; mkdir setup.exe'
Expect 1 "setup.exe is cut off: section .reloc ends" "setup.exe one byte short" -- truncate -s -1 setup.exe
Expect 1 "setup.exe is cut off: its signature ends" "signed setup.exe cut short" -- \
  "$sign setup.exe >/dev/null && truncate -s -100 setup.exe"
Expect 1 "setup.exe is damaged: its checksum says" "setup.exe with a byte changed" -- \
  'printf X | dd of=setup.exe bs=1 seek=2000 conv=notrunc 2>/dev/null'
Expect 1 "SentinelSystemDriverInstaller7.5.8.exe is damaged" "driver installer cut short" -- \
  truncate -s -1000 SentinelSystemDriverInstaller7.5.8.exe
Expect 1 "NerimInstaller.msi_: its tables cannot be read (string table corrupt?)" \
  "main package with a damaged string table" -- DamageStringTable NerimInstaller.msi_
Expect 1 "ISSCRIPT10.MSI and ISScript10.Msi differ only in letter case" "two names differing in case" -- \
  ': > ISSCRIPT10.MSI'
Expect 1 "SentinelRMSLicenseManager9.7.1.msi is not a regular file but a FIFO" "a FIFO" -- \
  mkfifo SentinelRMSLicenseManager9.7.1.msi
Expect 1 "SentinelSystemDriverInstaller7.5.8.exe is not a regular file but a device" \
  "a link to /dev/zero" -- 'ln -sf /dev/zero SentinelSystemDriverInstaller7.5.8.exe'
Expect 1 "loop is a link to nothing that can be read" "a link loop" -- ln -s loop loop
Expect 1 "notes?.txt is a name Windows cannot hold" "a name Windows cannot hold" -- "touch 'notes?.txt'"
Expect 1 "M\xc3\xa9dium.txt is a name outside ASCII" "a name outside ASCII" -- "touch \$'M\\xc3\\xa9dium.txt'"
Expect 1 "notes.txt  is a name Windows cannot hold" "a name ending in a space" -- "touch 'notes.txt '"
Expect 1 "Nul.txt is a name Windows cannot hold" "a device name in other letter case" -- touch Nul.txt
Expect 1 ".setup.exe.staged.123.abcdef is a stray hidden file" "a leftover hidden file" -- touch .setup.exe.staged.123.abcdef
Expect 1 "10001 licence-manager packages (SentinelRMSLicenseManager9.7.0.msi" \
  "ten thousand licence-manager packages" -- \
  Fault links $lm SentinelRMSLicenseManager9.8.%d.msi 10000
Expect 1 "64-bit (x86-64) build" "the 64-bit build as setup.exe" -- \
  Fault machine setup.exe
Expect 1 "ISScript10.Msi is not a Windows Installer package" "scripting engine a text file" -- \
  'echo text > ISScript10.Msi'
Expect 0 "NerimInstaller.msi_ is named NerimInstaller.MSI_: setup.exe still finds it" \
  "main package in other letter case" -- mv NerimInstaller.msi_ NerimInstaller.MSI_
Expect 0 "installs no optLS or optDD marker" "main package without markers" -- \
  "'$here/medium/make-medium.sh' '$work/v' '$setup_exe' '$driver_exe' --markers none >/dev/null &&
   cp '$work/v/NerimInstaller.msi_' ."
Expect 1 "optLS to [ProgramFilesFolder]\\Brenk\\Installers\\Nerim\\1.6.0.120000\\optLS, but setup.exe $version" \
  "main package of another version" -- \
  "'$here/medium/make-medium.sh' '$work/v' '$setup_exe' '$driver_exe' --product-version 1.6.0.120000 \
     >/dev/null && cp '$work/v/NerimInstaller.msi_' ."
Expect 1 "SentinelSystemDriverInstaller7.5.8.exe: its signature no longer matches" \
  "a signed driver installer changed after signing" -- \
  "$sign SentinelSystemDriverInstaller7.5.8.exe >/dev/null &&
   printf X | dd of=SentinelSystemDriverInstaller7.5.8.exe bs=1 seek=1024 conv=notrunc 2>/dev/null &&
   Fault checksum SentinelSystemDriverInstaller7.5.8.exe"
Expect 0 "setup.exe is signed by /CN=Nerim Test Signer/O=Brenk, whose certificate does not chain" \
  "setup.exe signed by an untrusted certificate" -- "$sign setup.exe >/dev/null"
CHECK_ARGS="--ca $work/key/cert.pem" Expect 0 \
  "setup.exe: signed by /CN=Nerim Test Signer/O=Brenk without a time stamp: it stops verifying on 20" \
  "a trusted signature without a time stamp says when it stops verifying" -- "$sign setup.exe >/dev/null"
Expect 0 "setup.exe is signed by /CN=Old Signer/O=Brenk, whose certificate has expired" \
  "setup.exe signed by an expired certificate" -- "$sign_expired -in setup.exe -out s.exe >/dev/null && mv s.exe setup.exe"
Expect 1 "setup.exe does not ask for administrator rights as it should" \
  "a manifest that asks for uiAccess" -- Fault ui-access setup.exe
# A time stamp counts only where a trusted root vouches for its authority.
trap 'kill $(cat "$work/tsa/pid" 2>/dev/null) 2>/dev/null' EXIT
authority=$(/usr/bin/python3 "$here/release/tests/timestamp_authority.py" "$work/tsa" 0)
stamp="--timestamp $authority --timestamp-ca $work/tsa/tsa.crt"
CHECK_ARGS="--ca $work/key/cert.pem" Expect 0 \
  "does not chain to a trusted root; Windows ignores it, and the signature stops verifying on 20" \
  "a time stamp no given root vouches for does not make the signature last" -- "$sign $stamp setup.exe >/dev/null"
CHECK_ARGS="--ca $work/key/cert.pem --timestamp-ca $work/tsa/tsa.crt" Expect 0 \
  "time-stamped at" "... and with the authority's root it does" -- "$sign $stamp setup.exe >/dev/null"
CHECK_PATH=/nonexistent Expect 2 "msiinfo is not installed" "msitools missing" -- true

# make-medium.sh removes nothing it did not make, and never an input.
Holds() {  # WHAT COMMAND...
  local what=$1; shift
  Check "make-medium.sh: $what" Quietly eval "cd \"\$work\" && $*"
}
make_medium=$here/medium/make-medium.sh
mkdir -p "$work/mine" && echo notes > "$work/mine/keep.txt"
Holds "a folder holding another file is refused, the file kept" \
  '! "$make_medium" mine "$setup_exe" "$driver_exe" && [ -s mine/keep.txt ] && [ ! -e mine/setup.exe ]'
mkdir -p "$work/checkout/.git" && echo "ref: refs/heads/main" > "$work/checkout/.git/HEAD"
Holds "a folder holding only hidden files is refused, the files kept" \
  '! "$make_medium" checkout "$setup_exe" "$driver_exe" && [ -s checkout/.git/HEAD ]'
cp -r "$work/clean" "$work/again" && cp "$driver_exe" "$work/again/driver.exe"
Holds "inputs inside the folder stay, with --force" \
  '"$make_medium" again again/setup.exe again/driver.exe --force && cmp again/setup.exe "$setup_exe" &&
   cmp again/driver.exe "$driver_exe"'
# On a copy: were the rule broken, this would remove the sources.
mkdir -p "$work/repo" && cp -r "$here/release" "$here/medium" "$here/scripts" "$work/repo/"
Holds "the medium's sources are refused as a folder" \
  '! repo/medium/make-medium.sh repo/medium "$setup_exe" "$driver_exe" --force && [ -e repo/medium/nerim.wxs ]'

Summary "medium check"
