#!/usr/bin/env bash
# The shipped 32-bit setup.exe, run once under wine on a host that cannot
# execute 32-bit code natively: the kernel is taught to hand i386 programs to
# qemu for the length of this test. Slow (about a minute per 32-bit process,
# and some minutes to give the prefix its 32-bit side the first time), so it
# runs the whole sequence once, with 64-bit recorders as its children.
# usage: emulated_i686_test.sh I686_BUILD_DIR RECORDER_EXE
# Exit 77 (skipped), with the reason, wherever it cannot run: 32-bit wine
# runs natively (the i686-wine preset's tests run the shipped exe there), or
# a piece of the emulated one is missing. The outcome's line is kept in
# I686_BUILD_DIR/setup_exe_emulated.outcome for scripts/test.sh to report.
set -uo pipefail
build=$(cd "$1" && pwd)
recorder=$2
scripts=$(cd "$(dirname "$0")/../../scripts" && pwd)
. "$scripts/wine-env.sh"
outcome=$build/setup_exe_emulated.outcome

Say() { echo "$*"; echo "$*" > "$outcome"; }
Skip() { Say "not run under emulation: $*"; exit 77; }
Wine32Works && Skip "32-bit wine runs natively here"
[ -x /usr/lib/wine/wine ] || Skip "wine32:i386 is not installed"
[ -f "$recorder" ] || Skip "no recorder at $recorder (build the x86_64 preset)"
[ -x /usr/bin/qemu-i386-static ] || Skip "qemu-user-static is not installed"
binfmt=/proc/sys/fs/binfmt_misc
[ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt 2>/dev/null
[ -w $binfmt/register ] || Skip "cannot register a binfmt handler for i386 here"
if [ ! -e $binfmt/nerim-qemu-i386 ]; then
  printf '%s' ':nerim-qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
    > $binfmt/register || Skip "the kernel refused the i386 handler"
  trap 'echo -1 > '$binfmt'/nerim-qemu-i386' EXIT
fi

export WINEPREFIX=$build/wineprefix-emulated WINE_RUN_TIMEOUT=900
"$scripts/make-wineprefix.sh" wine64 "$WINEPREFIX" || exit 1
[ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] || Skip "the wine prefix got no 32-bit side"

work=$build/emulated
medium="$work/My Media"
rm -rf "$work"
mkdir -p "$medium"
cp "$build/setup.exe" "$medium/"
for name in NerimInstaller.msi_ SentinelRMSLicenseManager9.7.0.msi ISScript10.Msi; do
  echo stand-in > "$medium/$name"
done
cp "$recorder" "$medium/SentinelSystemDriverInstaller7.5.8.exe"
# A 32-bit process's system32 is the prefix's syswow64.
cp "$recorder" "$WINEPREFIX/drive_c/windows/syswow64/msiexec.exe"
markers="$WINEPREFIX/drive_c/Program Files (x86)/Brenk/Installers/Nerim/1.5.0.113805"
mkdir -p "$markers"
touch "$markers/optLS" "$markers/optDD"

w=Z:${medium//\//\\}
log=$work/log.txt
RECORD_LOG="Z:${log//\//\\}" RECORD_EXIT=0 "$scripts/wine-run.sh" wine "$w\\setup.exe" /ignored arguments
code=$?
wineserver -k 2>/dev/null
expected="msiexec.exe /package \"$w\\NerimInstaller.msi_\"
msiexec.exe /i \"$w\\ISScript10.Msi\" /passive
msiexec.exe /i \"$w\\SentinelRMSLicenseManager9.7.0.msi\" /passive
\"$w\\SentinelSystemDriverInstaller7.5.8.exe\""
got=$(cut -d'|' -f3 "$log" 2>/dev/null)
if [ "$code" = 0 ] && [ "$got" = "$expected" ]; then
  Say "run under emulation: exit 0, children as expected"
  exit 0
fi
Say "run under emulation: FAILED, exit $code"
echo "expected:"; echo "$expected"
echo "got:"; echo "$got"
exit 1
