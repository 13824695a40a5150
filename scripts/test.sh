#!/usr/bin/env bash
# Every test: installs what is missing, builds all configurations and runs
# the native tests, the checks of the shipped setup.exe and the wine tests.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/wine-env.sh
scripts/install-deps.sh

presets=(native i686 x86_64)
if Wine32Works; then
  presets+=(i686-wine)
else
  echo "note: this host cannot run wine's 32-bit side natively; the wine tests run" \
       "the 64-bit build of the same sources (build/x86_64)."
fi
for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done
status=0
for preset in "${presets[@]}"; do
  ctest --preset "$preset" || status=1
done
exit "$status"
