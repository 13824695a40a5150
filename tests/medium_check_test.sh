#!/usr/bin/env bash
# check-medium.py on the sample medium, then on copies broken one rule at a time.
# usage: medium_check_test.sh SETUP_EXE DRIVER_EXE WORK_DIR
set -uo pipefail
setup_exe=$(realpath "$1") driver_exe=$(realpath "$2") work=$3
here=$(cd "$(dirname "$0")/.." && pwd)
check=$here/scripts/check-medium.py
passed=0 failed=0

rm -rf "$work"
mkdir -p "$work"
"$here/scripts/make-medium.sh" "$work/clean" "$setup_exe" "$driver_exe" >/dev/null
bash "$here/tests/signing/make_test_key.sh" "$work/key"
sign="$here/scripts/sign.sh --pkcs12 $work/key/test.p12 --password-file $work/key/password.txt"

# Expect EXIT_CODE TEXT DESCRIPTION -- COMMANDS...: breaks a fresh copy of the
# clean medium with COMMANDS (run inside it) and expects the check to exit
# with EXIT_CODE and to say TEXT.
Expect() {
  local code=$1 text=$2 what=$3
  shift 4
  local copy="$work/broken"
  rm -rf "$copy"
  cp -r "$work/clean" "$copy"
  (cd "$copy" && eval "$*")
  local output status
  output=$(PATH=${CHECK_PATH:-$PATH} /usr/bin/python3 "$check" "$copy" 2>&1)
  status=$?
  if [ "$status" = "$code" ] && grep -qF -- "$text" <<<"$output"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED: %s (exit %s, expected %s and "%s")\n%s\n' "$what" "$status" "$code" "$text" "$output"
  fi
}

lm=SentinelRMSLicenseManager9.7.0.msi
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
Expect 1 "setup.exe is not a Windows program" "setup.exe a folder" -- 'rm setup.exe; mkdir setup.exe'
Expect 1 "64-bit (x86-64) build" "the 64-bit build as setup.exe" -- \
  "/usr/bin/python3 -c 'import pefile; pe = pefile.PE(\"setup.exe\"); pe.FILE_HEADER.Machine = 0x8664; pe.write(\"setup.exe\")'"
Expect 1 "ISScript10.Msi is not a Windows Installer package" "scripting engine a text file" -- \
  'echo text > ISScript10.Msi'
Expect 0 "NerimInstaller.msi_ is named NerimInstaller.MSI_: setup.exe still finds it" \
  "main package in other letter case" -- mv NerimInstaller.msi_ NerimInstaller.MSI_
Expect 0 "installs no optLS or optDD marker" "main package without markers" -- \
  "'$here/scripts/make-medium.sh' '$work/v' '$setup_exe' '$driver_exe' --markers none >/dev/null &&
   cp '$work/v/NerimInstaller.msi_' ."
Expect 1 "optLS to [ProgramFilesFolder]\\Brenk\\Installers\\Nerim\\1.6.0.120000\\optLS, but setup.exe 1.5.0.113805" \
  "main package of another version" -- \
  "'$here/scripts/make-medium.sh' '$work/v' '$setup_exe' '$driver_exe' --product-version 1.6.0.120000 \
     >/dev/null && cp '$work/v/NerimInstaller.msi_' ."
Expect 1 "SentinelSystemDriverInstaller7.5.8.exe: its signature no longer matches" \
  "a signed driver installer changed after signing" -- \
  "$sign SentinelSystemDriverInstaller7.5.8.exe >/dev/null &&
   printf X | dd of=SentinelSystemDriverInstaller7.5.8.exe bs=1 seek=1024 conv=notrunc 2>/dev/null"
Expect 0 "setup.exe is signed by /CN=Nerim Test Signer/O=Brenk, whose certificate does not chain" \
  "setup.exe signed by an untrusted certificate" -- "$sign setup.exe >/dev/null"
CHECK_PATH=/nonexistent Expect 2 "msiinfo is not installed" "msitools missing" -- true

echo "medium check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
