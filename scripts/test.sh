#!/usr/bin/env bash
# Every test: installs what is missing, builds all configurations and runs
# the native tests, the checks of the shipped setup.exe and the wine tests,
# then says what ran and what did not, and why.
# usage: test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
case ${1:-} in
  '') ;;
  -h|--help) sed -n '2,5s/^# \{0,1\}//p' "$0"; exit 0 ;;
  *) sed -n '5s/^# //p' "$0" >&2; exit 2 ;;
esac
. scripts/wine-env.sh
scripts/install-deps.sh

presets=(native i686 x86_64)
wine32_problem=$(Wine32Problem || true)
if [ -z "$wine32_problem" ]; then
  presets+=(i686-wine)
fi
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
status=0
for preset in "${presets[@]}"; do
  ctest --preset "$preset" || status=1
done

echo
echo "summary:"
echo "  the rules (natively, ASan and UBSan), the install script, every script's usage, the medium check: run"
echo "  setup.exe for 64-bit Windows, built as it ships (build/x86_64-shipped/setup.exe):" \
     "the stage and end-to-end tests ran it under wine64"
if [ -z "$wine32_problem" ]; then
  echo "  Win32 tests: run under 32-bit wine (i686-wine) and wine64 (x86_64)"
  echo "  shipped 32-bit setup.exe (build/i686/setup.exe): checked statically; the stage and" \
       "end-to-end tests ran it under 32-bit wine"
else
  echo "  Win32 tests: run on the 64-bit build under wine64 only ($wine32_problem)"
  echo "  shipped 32-bit setup.exe (build/i686/setup.exe): checked statically;" \
       "$(cat build/i686/setup_exe_emulated.outcome 2>/dev/null || echo "not run")"
fi
[ "$status" = 0 ] && echo "  result: every test that ran passed" || echo "  result: FAILED"
exit "$status"
