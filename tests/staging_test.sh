#!/usr/bin/env bash
# release/staging, the one way the tools write what others rely on: a
# staged file or folder beside its target, put in place in one rename, and
# the leftovers of killed runs; with a file system that cannot rename in one
# step (renameat2 failing with EINVAL, through a preloaded library).
# usage: staging_test.sh WORK_DIR
. "$NERIM_ROOT/tests/lib.sh"
work=$1
staging=$root/release/staging
Staged() { "$staging" new ${2:+--folder} --owner $$ "$1"; }  # TARGET [-d]
PutInPlace() { "$staging" put "$1" "$2" 2>&1; }
RemoveStale() { "$staging" remove-stale "$1"; }
rm -rf "$work" && mkdir -p "$work/out"
cd "$work/out" || exit 1

staged=$(Staged "$work/out/file")
Check "a staged name is hidden, beside its target, and names this run" \
  eval '[[ $staged == "$work/out/.file.staged.$$."* ]] && [ -f "$staged" ]'
echo new > "$staged" && echo old > file
Check "a file is replaced in one rename, nothing left beside it" \
  eval 'PutInPlace "$staged" file && [ "$(cat file)" = new ] && [ "$(ls -A)" = file ]'
# Flushed while it still stands under its staged name, so that a crash
# after the rename cannot leave the target's name on bytes not yet on disk.
staged=$(Staged "$work/out/flushed") && echo new > "$staged"
strace -f -y -e trace=fsync,fdatasync,rename,renameat,renameat2 -o "$work/calls.txt" \
  "$staging" put "$staged" flushed
Check "a staged file is flushed before it is renamed" \
  eval 'grep -E "fsync|rename" "$work/calls.txt" | grep -m1 -F "$staged" | grep -q "fsync"'
rm -f flushed
mkdir release && touch release/old
staged=$(Staged "$work/out/release" -d) && touch "$staged/new"
Check "a folder is swapped with the new one, and the old one removed" \
  eval 'PutInPlace "$staged" release && [ "$(ls release)" = new ] && [ "$(ls -A)" = "file
release" ]'
staged=$(Staged "$work/out/fresh" -d)
Check "a new name is made in one rename" eval 'PutInPlace "$staged" fresh && [ -d fresh ]'

# A file system that cannot rename in one step: nothing changes, and the
# reason is said.
cat > "$work/no_renameat2.c" <<'END'
#include <errno.h>
int renameat2(int a, const char *b, int c, const char *d, unsigned e) { errno = EINVAL; return -1; }
END
if gcc -shared -fPIC -o "$work/no_renameat2.so" "$work/no_renameat2.c" 2>"$work/gcc.txt"; then
  staged=$(Staged "$work/out/release" -d) && touch "$staged/newer"
  said=$(LD_PRELOAD=$work/no_renameat2.so PutInPlace "$staged" release)
  ExpectRun 1 "cannot swap $staged and release in one step: Invalid argument" \
    "no swap in one step: the old folder stays" $? "$said"
  Check "... and the new one is still beside it" eval '[ "$(ls release)" = new ] && [ -e "$staged/newer" ]'
  rm -rf "$staged"
else
  NotRun "a file system without renameat2: gcc cannot build the stand-in ($(head -n 1 "$work/gcc.txt"))"
fi

# Leftovers: a dead run's are removed and named, a live run's are kept.
sleep 60 & live=$!
bash -c 'exit 0' & dead=$!; wait "$dead"
touch ".file.staged.$dead.aaaaaa" ".file.staged.$live.bbbbbb"
said=$(RemoveStale "$work/out" 2>&1)
Check "a killed run's leftover is removed and named" \
  eval '[ ! -e ".file.staged.$dead.aaaaaa" ] && grep -q "removed .*staged.$dead.aaaaaa, left by a killed run" <<<"$said"'
Check "a running process's staged file is left alone" \
  eval '[ -e ".file.staged.$live.bbbbbb" ] && grep -q "belongs to the running process $live" <<<"$said"'
kill "$live"
Summary "staging"
