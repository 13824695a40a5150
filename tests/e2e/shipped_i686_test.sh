#!/usr/bin/env bash
# The shipped 32-bit setup.exe under 32-bit wine, through the typical chain
# with wine's real Windows Installer, a second run that finds the licence
# manager listed in the 32-bit view, and a failing main package. The host's
# own 32-bit wine is used where it runs natively; elsewhere the tree of
# scripts/wine32-root.sh, where each 32-bit process start takes about a
# minute under emulation, so the slower cases of the end-to-end test are left
# to the 64-bit run.
# usage: shipped_i686_test.sh I686_BUILD_DIR SETUP_EXE
# Skipped where neither can run here, with the reason.
. "$NERIM_ROOT/tests/lib.sh"
scripts=$root/scripts
. "$scripts/wine-env.sh"

# The tree's promises, tried with real faults: a mirror that fails leaves no
# tree that a later run could trust; a run's mounts never show on the host;
# killing a run (both its script and the namespace's parent) ends what it
# started; the next run removes the i386 handler a killed one left.
CheckTree() {  # SCRATCH
  local problems=() root runner pids left
  root=$("$scripts/wine32-root.sh" where)
  rm -rf "$1" && mkdir -p "$1"
  NERIM_WINE32_CACHE=$1 NERIM_WINE32_MIRROR="http://127.0.0.1:9/debian bookworm" \
    "$scripts/wine32-root.sh" prepare >/dev/null 2>&1
  [ $? = 77 ] || problems+=("a failing mirror was not reported as a skip")
  left=$(cd "$1" && ls -d tree tree.new.* 2>/dev/null)
  [ -z "$left" ] || problems+=("a failing mirror left $left")
  "$scripts/wine32-root.sh" run sleep 297 &
  runner=$!
  for _ in $(seq 50); do pgrep -fx 'sleep 297' >/dev/null && break; sleep 0.2; done
  pgrep -fx 'sleep 297' >/dev/null || problems+=("nothing ran in the tree")
  grep -qF " $root/" /proc/self/mountinfo && problems+=("a run's mounts show on the host")
  pids="$runner $(pgrep -P "$runner")"
  kill -9 $pids
  wait "$runner" 2>/dev/null
  sleep 1
  pgrep -fx 'sleep 297' >/dev/null && problems+=("a killed run left its command running")
  "$scripts/wine32-root.sh" run true || problems+=("a run after a killed one failed")
  [ ! -e /proc/sys/fs/binfmt_misc/nerim-qemu-i386 ] || problems+=("the i386 handler outlived the runs")
  [ ${#problems[@]} = 0 ] && return 0
  printf '%s\n' "${problems[@]}"
  return 1
}

if ! Wine32Works; then
  said=$("$scripts/wine32-root.sh" prepare 2>&1)
  code=$?
  [ -n "$said" ] && echo "$said"
  case $code in
    0) problems=$(CheckTree "$1/tree-faults") || Failed "the 32-bit wine tree keeps its promises" "$problems" ;;
    77) NotRun "$(Wine32Problem), and no 32-bit wine tree: ${said##*wine32-root.sh: }" ;;
    *) Failed "the tree for 32-bit wine could be prepared" "$said" ;;
  esac
  if [ "$code" != 0 ] || [ "$failed" != 0 ]; then
    Summary "shipped 32-bit setup.exe"
    exit
  fi
  export NERIM_WINE_ROOT=1
  NERIM_WINEPREFIX_TEMPLATE=$("$scripts/wine32-root.sh" where prefix)
  export NERIM_WINEPREFIX_TEMPLATE WINE_RUN_TIMEOUT=1200
  echo "32-bit wine: the tree $("$scripts/wine32-root.sh" where)"
fi
# What CI hands to Windows runs too where 32-bit code runs natively.
cases=typical,second-run,failing
Wine32Works && cases+=,handover
exec bash "$root/tests/e2e/real_medium_test.sh" "$1" wine "$2" "$cases"
