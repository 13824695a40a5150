#!/usr/bin/env bash
usage=$(cat <<'EOF'
usage: test.sh [--quick]
Every test: installs what is missing, builds all configurations and runs the
native tests, the checks of the shipped setup.exe, the shipped 32-bit
setup.exe under 32-bit wine and the wine tests, then says what ran, how it
ended, and why anything did not run.
  --quick  leave out the shipped 32-bit setup.exe under 32-bit wine, which
           takes some minutes where 32-bit code runs only under emulation
EOF
)
. "$(dirname "$0")/lib.sh" "$@"
cd "$(dirname "$0")/.."
quick=0
case ${1:-} in
  '') ;;
  --quick) quick=1 ;;
  *) BadUsage "unknown option $1" ;;
esac
. scripts/wine-env.sh
started=$(date +%s)
scripts/install-deps.sh

presets=(native i686 x86_64)
not_run=()
if wine32_problem=$(Wine32Problem); then
  not_run+=("i686-wine, the Win32 tests built for 32-bit Windows=$wine32_problem")
else
  presets+=(i686-wine)
fi
for preset in "${presets[@]}"; do
  Note "building the $preset tree"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

status=0
results=()
for preset in "${presets[@]}"; do
  junit=$PWD/build/$preset/ctest-results.xml
  rm -f "$junit"
  exclude=()
  if [ "$quick" = 1 ] && [ "$preset" = i686 ]; then
    exclude=(-E '^shipped_i686_wine$')
    not_run+=("shipped_i686_wine=--quick")
  fi
  Note "running the $preset tree's tests"
  if ctest --preset "$preset" --output-junit "$junit" "${exclude[@]}"; then
    # The tree's own prefix goes with the tests that passed in it.
    [ "${NERIM_KEEP_PREFIXES:-0}" = 1 ] || rm -rf "build/$preset/wineprefix"
  else
    status=1
    [ ! -d "build/$preset/wineprefix" ] || echo "kept for a look: build/$preset/wineprefix"
  fi
  results+=("$preset=$junit")
done

echo
echo "summary:"
args=()
for entry in "${not_run[@]}"; do args+=(--not-run "$entry"); done
scripts/test-summary.py "${results[@]}" "${args[@]}" || status=1
if template_problem=$(scripts/make-wineprefix.sh --check-template 2>&1); then
  echo "  the prefixes' shared wine files: unchanged"
else
  echo "  FAILED: $template_problem"
  status=1
fi
echo "  disk: $(du -sh build | cut -f1) under build/; time: $(( ($(date +%s) - started) / 60 )) min $(( ($(date +%s) - started) % 60 )) s"
[ "$status" = 0 ] && echo "  result: every test that ran passed" || echo "  result: FAILED"
exit "$status"
