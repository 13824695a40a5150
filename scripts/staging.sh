# Sourced after lib.sh by the tools that write what others rely on (sign.sh,
# release.sh, make-medium.sh): a new file or folder is written beside its
# target under a hidden name, verified by the caller, flushed to disk and
# renamed into place in one step, so that the target is either the old one
# or the whole new one, whatever happens in between.
#
#   staged=$(Staged TARGET [-d])   a new hidden file (-d: folder) beside TARGET,
#                                  ".NAME.staged.PID.XXXXXX"
#   ...write into $staged and verify it...
#   PutInPlace "$staged" TARGET    flush, then rename; a folder TARGET is swapped
#                                  with the new one and the old one removed
#   RemoveStale FOLDER             the staged names of runs no longer running
#
# A killed run leaves its staged names; the next run in that folder removes
# them (RemoveStale), never those of a run that still lives.

Staged() {  # TARGET [-d]
  local target=$1
  mktemp ${2:+"$2"} "$(dirname "$target")/.$(basename "$target").staged.$$.XXXXXX"
}

RemoveStale() {  # FOLDER
  local leftover pid
  for leftover in "$1"/.*.staged.*; do
    [ -e "$leftover" ] || [ -L "$leftover" ] || continue
    pid=$(basename "$leftover" | sed -n 's/.*\.staged\.\([0-9]*\)\.[^.]*$/\1/p')
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      Note "note: $leftover belongs to the running process $pid; left alone"
    else
      rm -rf "$leftover" && Note "note: removed $leftover, left by a killed run"
    fi
  done
}

# Renames STAGED to TARGET in one step with renameat2: "noreplace" where
# TARGET does not exist (a rename that would replace a new one fails),
# "exchange" for a folder (the old one ends up at STAGED), a plain rename
# over a file. A file system that cannot do the first two makes it fail
# rather than leave a moment with no TARGET.
RenameInOneStep() {  # STAGED TARGET
  /usr/bin/python3 - "$1" "$2" <<'EOF'
import ctypes, os, sys
source, target = sys.argv[1:]
if os.path.isdir(target) and not os.path.islink(target):
    flag, how = 2, "swap"  # RENAME_EXCHANGE
elif os.path.lexists(target):
    os.rename(source, target)
    sys.exit(0)
else:
    flag, how = 1, "rename"  # RENAME_NOREPLACE
libc = ctypes.CDLL(None, use_errno=True)
if libc.renameat2(-100, os.fsencode(source), -100, os.fsencode(target), flag) != 0:
    sys.exit("cannot %s %s and %s in one step: %s" % (
        how, source, target, os.strerror(ctypes.get_errno())))
EOF
}

PutInPlace() {  # STAGED TARGET
  local staged=$1 target=$2
  sync "$staged" || { echo "cannot flush $staged to disk"; return 1; }
  [ ! -d "$staged" ] || sync -f "$staged" || { echo "cannot flush $staged to disk"; return 1; }
  RenameInOneStep "$staged" "$target" 2>&1 || return 1
  sync "$(dirname "$target")" || { echo "cannot flush the folder of $target to disk"; return 1; }
  [ ! -e "$staged" ] || rm -rf "$staged" || { echo "cannot remove the old $target, now at $staged"; return 1; }
}
