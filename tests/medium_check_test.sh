#!/usr/bin/env bash
# check-medium.py on the sample medium, then on copies broken one rule at a time.
# usage: medium_check_test.sh WORK_DIR
set -uo pipefail
work=$1
here=$(cd "$(dirname "$0")/.." && pwd)
check=$here/scripts/check-medium.py
passed=0 failed=0

rm -rf "$work"
mkdir -p "$work"
echo "stand-in" > "$work/setup.exe"
echo "stand-in" > "$work/driver.exe"
"$here/scripts/make-medium.sh" "$work/clean" "$work/setup.exe" "$work/driver.exe" >/dev/null

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
  output=$(/usr/bin/python3 "$check" "$copy" 2>&1)
  status=$?
  if [ "$status" = "$code" ] && grep -qF -- "$text" <<<"$output"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED: %s (exit %s, expected %s and "%s")\n%s\n' "$what" "$status" "$code" "$text" "$output"
  fi
}

lm=SentinelRMSLicenseManager9.7.0.msi
Expect 0 "ready to ship" "the sample medium is clean" -- true
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
Expect 0 "only as isscript10.msi" "scripting engine in other letter case" -- \
  mv ISScript10.Msi isscript10.msi
Expect 0 "SentinelSystemDriverInstaller7.5.8.exe is missing" "no driver installer" -- \
  rm SentinelSystemDriverInstaller7.5.8.exe
Expect 0 "there is SentinelSystemDriverInstaller7.6.0.exe" "driver installer of another version" -- \
  mv SentinelSystemDriverInstaller7.5.8.exe SentinelSystemDriverInstaller7.6.0.exe
Expect 1 "setup.exe is missing" "no setup.exe" -- rm setup.exe

echo "medium check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
