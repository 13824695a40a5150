#!/usr/bin/env bash
# A minimal Debian tree with a 64-bit wine that also runs 32-bit programs,
# for hosts whose own wine32:i386 is missing or cannot be installed (the i386
# security index often lags the amd64 one, so multi-arch versions clash; the
# main suite alone is always consistent).
#
# NERIM_WINE32_CACHE is the folder that keeps the tree (default
# /var/cache/nerim-wine32-root); it lies outside every build tree, so that a
# fresh clone reuses it. NERIM_WINE32_MIRROR="URI SUITE" names the mirror
# where apt's own configuration should not be used.
usage=$(cat <<'EOF'
usage: wine32-root.sh prepare | run COMMAND [ARGS...] | where [prefix]
  prepare  make the tree once per machine (about two minutes), with a wine
           prefix made ready in it for copying; a tree that is half made or
           made from another recipe is made again
  run      run COMMAND inside the tree as root, with /proc, /dev, /dev/shm
           and this repository mounted at the same paths as outside;
           i386 programs are handed to qemu-user where the host cannot
           execute them
  where    print the tree's folder, or with 'prefix' the prepared wine
           prefix's folder in it
Exit 77 where this host cannot do it (no chroot, no binfmt_misc, no
mirror), with the reason on the last line of standard error.
EOF
)
. "$(dirname "$0")/lib.sh" "$@"
set +e  # each step says why it failed
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
. "$here/wine-env.sh"

Skip() { Note "$*"; exit 77; }

cache=${NERIM_WINE32_CACHE:-/var/cache/nerim-wine32-root}
tree=$cache/tree
stamp=$tree/.nerim-complete
template=/var/lib/nerim/wineprefix
# What the tree holds; a change here makes every machine make it again.
packages=wine,wine64,wine32:i386
recipe="essential amd64,i386 $packages"
handler=nerim-qemu-i386
binfmt=/proc/sys/fs/binfmt_misc

# The host's own mirror for its release's main suite, as apt knows it: no
# host name is written here, and a machine behind its own mirror uses it.
HostMirror() {
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || return 1
  apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' \
    2>/dev/null | awk -v s="$codename" '$2 == s && $3 == "main" { print $1, s; exit }'
}

TreeReady() { [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ]; }

# Deletes a tree that a killed or failed run left. It never crosses into a
# mount, so a /dev or a repository still mounted there by a run that was
# not cleaned up is left alone rather than emptied.
RemoveTree() {  # FOLDER
  [ -e "$1" ] || return 0
  if grep -qF " $1/" /proc/self/mountinfo; then
    Die "$1 still has mounts in it (see /proc/self/mountinfo); unmount them and run again"
  fi
  rm -rf --one-file-system "$1" || Die "cannot remove the old tree $1"
}

# Runs share the tree; making it excludes them. The i386 handler is
# registered by the first run that needs it and removed by the last one out.
Lock() {  # -s for a shared lock, -x for an exclusive one
  [ -n "${locked:-}" ] && return 0
  mkdir -p "$cache" || Die "cannot make $cache"
  exec 9>"$cache/lock" && flock "$1" 9 || Die "cannot lock $cache/lock"
  locked=1
}

# The first i386 handler that binfmt_misc has, if any.
I386Handler() {
  local entry
  for entry in "$binfmt"/*i386*; do
    [ -f "$entry" ] && grep -qx enabled "$entry" && { basename "$entry"; return 0; }
  done
  return 1
}

# Makes sure i386 programs run: natively, through a handler that is there
# already (left alone), or through one registered here (ours, removed at the
# end; one left by a killed run is recognised by its name and removed too).
EnsureI386() {
  owned=0
  local found
  if found=$(I386Handler); then
    [ "$found" = "$handler" ] && owned=1
    return 0
  fi
  Runs32BitCode && return 0
  [ -x /usr/bin/qemu-i386-static ] ||
    Skip "this host cannot execute 32-bit code and qemu-user-static is not installed"
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
    Skip "binfmt_misc cannot be mounted here, so i386 programs cannot be handed to qemu"
  # The 'F' flag opens qemu now, so it needs no copy inside the tree.
  printf '%s' ":$handler:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:/usr/bin/qemu-i386-static:F" \
    > "$binfmt/register" 2>/dev/null || Skip "the kernel refused an i386 handler in binfmt_misc"
  owned=1
}

# Only where no other run holds the tree (the shared lock turns exclusive
# at once), so that a run still under way keeps its handler.
RemoveOwnI386() {
  [ "${owned:-0}" = 1 ] && [ -e "$binfmt/$handler" ] && flock -n -x 9 &&
    echo -1 > "$binfmt/$handler"
  owned=0
}

# The part of 'run' that is already in its own mount and process namespaces:
# every mount below goes away with the namespace, however the run ends, and
# so does every process left in it (a wine server among them).
Inside() {
  mount -t proc proc "$tree/proc" &&
    mount --rbind /dev "$tree/dev" &&
    mount -t tmpfs -o mode=1777 tmpfs "$tree/dev/shm" &&
    mkdir -p "$tree$repo" && mount --bind "$repo" "$tree$repo" ||
    Die "cannot mount what wine needs inside $tree"
  local dir=/
  case $PWD/ in "$repo"/*) dir=$PWD ;; esac
  unset TMPDIR NERIM_WINE_ROOT
  # A wine server that outlived the command would be killed with the
  # namespace before it saved the registry; wait for it to end by itself.
  exec chroot "$tree" /usr/bin/env PATH=/usr/sbin:/usr/bin:/sbin:/bin /bin/bash -c \
    'cd "$1" && shift && "$@"; rc=$?
     [ -n "${WINEPREFIX:-}" ] && timeout 60 wineserver -w 2>/dev/null
     exit $rc' bash "$dir" "$@"
}

Run() {
  TreeReady || Die "no finished tree at $tree; run 'wine32-root.sh prepare' first"
  Lock -s
  trap RemoveOwnI386 EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  # Two runs that find no handler must not both register one.
  exec 8>"$cache/binfmt.lock" && flock 8 || Die "cannot lock $cache/binfmt.lock"
  EnsureI386
  exec 8>&-
  unshare --mount --pid --fork --kill-child --propagation private -- \
    bash "$0" --inside "$@"
}

MakeTree() {
  local source uri codename new log=$cache/make-tree.log
  source=${NERIM_WINE32_MIRROR:-$(HostMirror)} && [ -n "$source" ] ||
    Skip "apt names no mirror for this release's main suite"
  read -r uri codename <<<"$source"
  RemoveTree "$tree"
  for new in "$cache"/tree.new.*; do RemoveTree "$new"; done
  new=$cache/tree.new.$$
  Note "making $tree from the $codename main suite (a few minutes, once a machine)"
  # In a mount namespace of its own, so that nothing it mounts survives it.
  if ! unshare --mount --propagation private -- mmdebstrap --mode=root --variant=essential \
         --architectures=amd64,i386 --components=main --include="$packages" \
         --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
         --dpkgopt='path-exclude=/usr/share/locale/*' "$codename" "$new" "$uri" >"$log" 2>&1; then
    RemoveTree "$new"
    Skip "the tree could not be made (the mirror?): $(grep -E '^E:' "$log" | tail -n 1) (see $log)"
  fi
  echo "$recipe" > "$new/.nerim-complete" && mv "$new" "$tree" || Die "cannot finish $tree"
}

# A wine prefix with its 32-bit side, made once in the tree; tests copy it
# instead of spending minutes of emulated start-up on each new one.
MakeTemplate() {
  [ -f "$tree$template/.ready" ] && return 0
  Note "making a wine prefix with a 32-bit side in the tree (a few minutes)"
  NERIM_WINEPREFIX_TEMPLATE='' WINE_RUN_TIMEOUT=900 Run "$here/make-wineprefix.sh" wine64 "$template" >&2 ||
    Die "wineboot failed in the tree"
  [ -f "$tree$template/drive_c/windows/syswow64/kernel32.dll" ] || {
    rm -rf "${tree:?}$template"
    Die "the tree's wine prefix got no 32-bit side; is wine32:i386 in the tree?"
  }
}

Prepare() {
  [ "$(id -u)" = 0 ] || Skip "the tree needs root (mounts, chroot)"
  command -v mmdebstrap >/dev/null || Skip "mmdebstrap is not installed (install-deps.sh installs it)"
  unshare --mount --propagation private -- true 2>/dev/null || Skip "mount namespaces are not allowed here"
  chroot / true 2>/dev/null || Skip "chroot is not allowed here"
  Lock -x
  TreeReady || MakeTree
  MakeTemplate
}

case ${1:-} in
  prepare) [ $# = 1 ] || BadUsage "prepare takes nothing more"; Prepare ;;
  run) [ $# -ge 2 ] || BadUsage "run needs a COMMAND"; shift; Run "$@" ;;
  where)
    case ${2-}/$# in /1) echo "$tree" ;; prefix/2) echo "$tree$template" ;; *) BadUsage "where takes nothing or prefix" ;; esac ;;
  --inside) shift; Inside "$@" ;;
  *) BadUsage "unknown command ${1:-(none)}" ;;
esac
