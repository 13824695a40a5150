#!/usr/bin/env bash
# Runs a Windows program under wine in $WINEPREFIX, bounded in time.
usage=$(cat <<'EOF'
usage: wine-run.sh wine|wine64 PROGRAM [ARGS...]
"wine64" runs 64-bit programs with the 64-bit loader alone, so it works on
hosts that cannot execute wine's 32-bit side.
The prefix is $WINEPREFIX, which must be set; WINE_RUN_TIMEOUT bounds the
run in seconds (default 300). NERIM_WINE_ROOT=1 runs it in the tree of
wine32-root.sh, whose wine runs 32-bit programs where the host's cannot.
NERIM_WINE_HEAP_CHECK=1 has wine validate the heap, and a damaged heap
block fails the run with exit code 98, whatever the program returned.
EOF
)
. "$(dirname "$0")/lib.sh" "$@"
set +e +o pipefail  # the program's exit code is the run's
case ${1:-} in
  wine|wine64) [ $# -ge 2 ] || BadUsage "$1 needs a PROGRAM" ;;
  *) BadUsage "the first argument is wine or wine64" ;;
esac
flavour=$1
shift
[ -n "${WINEPREFIX:-}" ] || BadUsage "set WINEPREFIX to the prefix to run in (never ~/.wine)"
export WINEPREFIX
if [ "${NERIM_WINE_ROOT:-}" = 1 ]; then
  exec "$(dirname "$0")/wine32-root.sh" run "$0" "$flavour" "$@"
fi
export WINEDEBUG=${WINEDEBUG:--all}
# Wine names files on the host in the locale's character set: under the C
# locale (a container's, a chroot's) a file named outside ASCII, such as a
# folder "Médium", cannot be made at all, as it can on Windows.
case $(locale charmap 2>/dev/null) in
  UTF-8) ;;
  *) export LC_ALL=C.UTF-8 ;;
esac
# No Mono or Gecko prompts, no menu entries written into the host, and no
# debugger started for a crash (it would wait for ever). Wine runs
# its builtin msiexec even where a real file lies in the system directory;
# native first lets the tests' stand-in run there, and where the file is
# wine's own placeholder it still falls back to the builtin.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml,winemenubuilder.exe,winedbg.exe=;msiexec.exe=n,b}

if [ "$flavour" = wine64 ]; then
  loader=/usr/lib/wine/wine64
  [ -x "$loader" ] || loader=$(command -v wine64)
  export WINELOADER=$loader
else
  loader=$(command -v wine)
fi

# Wine checks every heap block, its tail included, when its heap channel is
# on, and says "err:heap" where one was damaged; its trace lines are many, so
# they are dropped here rather than kept.
HeapErrors() {
  awk '/:heap:/ { if ($0 ~ /err:heap/) { print > "/dev/stderr"; bad = 1 }; next }
       { print > "/dev/stderr" } END { exit bad }'
}

if [ "${NERIM_WINE_HEAP_CHECK:-}" = 1 ]; then
  # A program that starts the wine server also starts wine's own services
  # and device processes, which would inherit the heap channel; a fault in
  # their heaps is wine's, not ours (seen once, under load: "free block
  # overwritten" in a thread of wine's start-up). So they start first, under
  # a program run without it.
  timeout 60 "$loader" cmd.exe /c exit 0 >/dev/null 2>&1
  export WINEDEBUG=${WINEDEBUG:--all},+heap
  { timeout --kill-after=5 "${WINE_RUN_TIMEOUT:-300}" "$loader" "$@" 2>&1 1>&3 3>&- |
      HeapErrors; } 3>&1
  statuses=("${PIPESTATUS[@]}")
  rc=${statuses[0]}
  if [ "${statuses[1]}" != 0 ]; then
    Note "the heap was damaged (err:heap above): $*"
    rc=98
  fi
else
  timeout --kill-after=5 "${WINE_RUN_TIMEOUT:-300}" "$loader" "$@"
  rc=$?
fi
# Killing wine leaves its children running inside the wine server.
if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
  Note "timed out after ${WINE_RUN_TIMEOUT:-300}s: $*"
  wineserver -k 2>/dev/null
fi
exit "$rc"
