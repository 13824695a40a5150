#!/usr/bin/env bash
# setup.exe on a sample medium of real packages, with wine's real Windows
# Installer, in prefixes of its own.
# usage: real_medium_test.sh BUILD_DIR wine|wine64 SETUP_EXE [CASES]
#   BUILD_DIR holds the helpers (recorder, driver stand-in); SETUP_EXE is
#   setup.exe built as it ships; CASES, separated by commas, picks some of
#   typical, second-run, drive-root, release-zip, failing and handover (the
#   second run and the drive root follow the typical run; handover needs
#   BUILD_DIR to be the i686 tree).
. "$NERIM_ROOT/tests/lib.sh"
build=$(cd "$1" && pwd)
flavour=$2
[ -f "$3" ] || { echo "no setup.exe at $3"; exit 1; }
setup_exe=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
echo "setup.exe under test: $setup_exe"
scripts=$root/scripts
work=$build/e2e
cases=,${4:-typical,second-run,drive-root,release-zip,failing},

Case() { [[ $cases == *",$1,"* ]]; }


Wine() { "$scripts/wine-run.sh" "$flavour" "$@"; }

made_prefixes=()
NewPrefix() {  # NAME
  export WINEPREFIX=$work/$1/wineprefix
  made_prefixes+=("$WINEPREFIX")
  rm -rf "$WINEPREFIX"
  "$scripts/make-wineprefix.sh" "$flavour" "$WINEPREFIX"
}

# A medium of the sample packages, with the shipped setup.exe. Sets $medium.
NewMedium() {  # NAME [make-medium options]
  medium="$work/$1/Sample Medium"
  shift
  "$scripts/../medium/make-medium.sh" "$medium" "$setup_exe" "$build/driver_standin.exe" "$@"
}

# What CI runs on Windows itself: the checker, on $medium, its lines indented.
InstallationCheck() {  # typical|failing
  Wine "Z:${build//\//\\}\\installation_check.exe" "$1" "Z:${medium//\//\\}" | tr -d '\r' | sed 's/^/  /'
}

RunSetup() {
  Wine "Z:${medium//\//\\}\\setup.exe"
  setup_exit=$?
}

# The 64-bit reg.exe reads either view, and starts in a fraction of the
# time that an emulated 32-bit one takes.
InstalledNames() {  # VIEW: 32 or 64
  "$scripts/wine-run.sh" wine64 reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:"$1" |
    tr -d '\r' | sed -n 's/^ *DisplayName *REG_SZ *//p'
}

Listed() { InstalledNames 32 | grep -qxF "$1"; }
Receipt() { cat "$WINEPREFIX/drive_c/ProgramData/Sentinel System Driver (sample)/receipt.txt" 2>/dev/null; }
ReceiptLines() { [ "$(Receipt | grep -c .)" = "$1" ]; }
Equal() { [ "$1" = "$2" ] || { echo "  expected: $2"; echo "  got:      $1"; return 1; }; }
version=$("$scripts/../release/setup-version" "$setup_exe")
markers="drive_c/Program Files (x86)/Brenk/Installers/Nerim/$version"
log=$work/typical/second-run.txt  # what the recorder standing in for msiexec saw

# The failing case has a prefix and a medium of its own, so it runs beside
# the others: under emulation, where each 32-bit start takes a minute of CPU,
# that saves minutes on two cores.
if Case failing && [ "$cases" != ,failing, ]; then
  mkdir -p "$work"
  bash "$0" "$1" "$2" "$3" failing > "$work/failing.out" 2>&1 &
  failing_run=$!
  cases=${cases/,failing,/,}
fi
MarkerExists() { [ -e "$WINEPREFIX/$markers/$1" ]; }

# The typical run: both choices made, every prerequisite installed for real,
# by a setup.exe signed as a release signs it.
if Case typical; then
NewPrefix typical
NewMedium typical
bash "$root/release/tests/make_test_key.sh" "$work/typical/key"
"$scripts/../release/sign" --roots "$work/typical/key/cert.pem" --pkcs12 "$work/typical/key/test.p12" \
  --password-file "$work/typical/key/password.txt" "$medium/setup.exe" >/dev/null
Check "typical: the installation check, two runs" InstallationCheck typical
Check "typical: driver installer got its quoted path" \
  Equal "$(Receipt | tr -d '\r' | head -n 1)" "\"Z:${medium//\//\\}\\SentinelSystemDriverInstaller7.5.8.exe\""
fi

# A third run on the same machine, with a stand-in recording what reaches
# msiexec: the licence manager is listed now, so nothing is installed again.
if Case second-run; then
cp --remove-destination "$build/recorder.exe" "$WINEPREFIX/drive_c/windows/$([ "$flavour" = wine ] && echo syswow64 || echo system32)/msiexec.exe"
rm -f "$log"
# Wine's relay channel, for this run's calls from setup.exe itself, shows
# what no other test can under wine: setup.exe loads no DLL after it limits
# the search, and no test child runs long enough to outlast a time limit.
relay=$work/typical/relay.txt
Reg() { "$scripts/wine-run.sh" wine64 reg "$@" >/dev/null; }
Reg add 'HKCU\Software\Wine\Debug' /v RelayFromInclude /d setup.exe /f
Reg add 'HKCU\Software\Wine\Debug' /v RelayInclude \
  /d 'kernel32.SetDefaultDllDirectories;kernel32.WaitForSingleObject' /f
WINEDEBUG=-all,+relay,+loaddll RECORD_LOG="Z:${log//\//\\}" RECORD_EXIT=0 RunSetup 2> "$relay"
Reg delete 'HKCU\Software\Wine\Debug' /f
# Processes that a new wine server starts may not honour RelayFromInclude,
# so only the lines of the thread that loaded setup.exe count.
thread=$(grep -a -m1 'trace:loaddll:.*\\setup\.exe"' "$relay" | cut -d: -f1)
Calls() { grep -a -o "^${thread:-none}:Call KERNEL32\.$1(.*)" "$relay" | cut -d: -f2- | sort -u; }
Check "second run: setup exits with 0" Equal "$setup_exit" 0
Check "second run: the DLL search is the system directory only (LOAD_LIBRARY_SEARCH_SYSTEM32)" \
  Equal "$(Calls SetDefaultDllDirectories)" "Call KERNEL32.SetDefaultDllDirectories(00000800)"
Check "second run: each child is waited for without a time limit" \
  Equal "$(Calls WaitForSingleObject | sed 's/([0-9a-f]*,/(H,/' | sort -u)" \
        "Call KERNEL32.WaitForSingleObject(H,ffffffff)"
Check "second run: only the main package reached msiexec" \
  Equal "$(cut -d'|' -f3 "$log")" "msiexec.exe /package \"Z:${medium//\//\\}\\NerimInstaller.msi_\""
Check "third run: the driver installer ran again" ReceiptLines 3
fi

# setup.exe at the root of a drive, so the setup folder is "D:". A licence
# manager of another version is not installed yet, so both packages are run.
if Case drive-root; then
mapped="$work/typical/Mapped Medium"
"$scripts/../medium/make-medium.sh" "$mapped" "$setup_exe" "$build/driver_standin.exe" --lm-version 9.8.0
ln -sfn "$mapped" "$WINEPREFIX/dosdevices/d:"
rm -f "$log"
RECORD_LOG="Z:${log//\//\\}" RECORD_EXIT=0 Wine 'D:\setup.exe'
Check "drive root: setup exits with 0" Equal "$?" 0
Check "drive root: package paths are on D:" Equal "$(cut -d'|' -f3 "$log")" \
"msiexec.exe /package \"D:\NerimInstaller.msi_\"
msiexec.exe /i \"D:\ISScript10.Msi\" /passive
msiexec.exe /i \"D:\SentinelRMSLicenseManager9.8.0.msi\" /passive"
Check "drive root: driver installer path" \
  Equal "$(Receipt | tr -d '\r' | tail -n 1)" '"D:\SentinelSystemDriverInstaller7.5.8.exe"'
fi

# The medium as a release ships it, extracted from the release's zip. Where
# 32-bit wine cannot run, the zip's 32-bit setup.exe gives way to the one
# under test, and the run shows that the zip holds a working medium.
if Case release-zip; then
vendor=$work/release/vendor
rm -rf "$work/release" && mkdir -p "$vendor"
cp "$work/typical/Sample Medium"/* "$vendor/" && rm "$vendor/setup.exe"
"$scripts/../release/release" --vendor "$vendor" --out "$work/release/out" --allow-dirty >/dev/null
/usr/bin/python3 -m zipfile -e "$work/release/out/Nerim-$version/Nerim-$version.zip" \
  "$work/release/unzipped"
medium=$work/release/unzipped/Nerim-$version
[ "$flavour" = wine64 ] && cp "$setup_exe" "$medium/setup.exe"
NewPrefix release
RunSetup
Check "release zip: setup exits with 0" Equal "$setup_exit" 0
Check "release zip: licence manager installed" Listed "Sentinel RMS License Manager 9.7.0 (sample)"
Check "release zip: driver installer ran once" ReceiptLines 1
fi

# What CI hands to Windows, run as it runs there: from a new machine, a
# failing medium, then the sample medium, with the Logging policy on.
if Case handover; then
rm -rf "$work/handover"
handover=$work/handover/files
bash "$root/tests/windows/make-handover.sh" "$build" "$handover" >/dev/null
NewPrefix handover
said=$(Wine cmd /c "Z:${handover//\//\\}\\run-checks.cmd" 2>&1 | tr -d '\r')
code=$?
FailureDetails() { echo "$said"; }
Check "handover: run-checks.cmd exits with 0" Equal "$code" 0
Check "handover: the checker passed on both media" Equal "$(grep -c '^passed: 0 check' <<<"$said")" 2
Check "handover: msi-logs/ is there for the logs" test -d "$handover/msi-logs"
unset -f FailureDetails
fi

# A main package that fails where an earlier installation left its markers
# (a failed upgrade or repair): nothing else is installed.
# The failing package records no choice itself, so its rollback cannot take
# the earlier markers away.
if Case failing; then
NewPrefix failing
mkdir -p "$WINEPREFIX/$markers"
touch "$WINEPREFIX/$markers/optLS" "$WINEPREFIX/$markers/optDD"
NewMedium failing --fail --markers none
Check "failing: the installation check" InstallationCheck failing
Check "failing: the earlier markers are still there" MarkerExists optLS
fi

if [ -n "${failing_run:-}" ]; then
  wait "$failing_run"
  grep -v '^end-to-end:' "$work/failing.out"
  counts=$(sed -n 's/^end-to-end: \([0-9]*\) passed, \([0-9]*\) failed$/\1 \2/p' "$work/failing.out")
  [ -n "$counts" ] || counts="0 1"
  passed=$((passed + ${counts% *})) failed=$((failed + ${counts#* }))
fi
for prefix in ${made_prefixes[@]+"${made_prefixes[@]}"}; do
  WINEPREFIX=$prefix wineserver -k 2>/dev/null
done
RemoveWhenPassed ${made_prefixes[@]+"${made_prefixes[@]}"}
Summary end-to-end
