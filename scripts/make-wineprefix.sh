#!/usr/bin/env bash
# Creates a private 64-bit wine prefix once: no display needed, no prompts.
#
# A prefix is 1.3 GB, nearly all of it wine's own programs and libraries,
# which wine reads and never writes. So every prefix is made from one
# template (build/wineprefix-template, made by wineboot the first time it is
# needed): those files are hard links to the template's, the registry and
# everything else are copies. A test that puts its own program in place of
# one of wine's must remove the file first (rm, DeleteFile, MoveFile), never
# write into it; --check-template finds a template file that was written.
#
# NERIM_WINEPREFIX_TEMPLATE names another template (one made by another
# wine, such as the tree of wine32-root.sh); set but empty, PREFIX is made by
# wineboot itself.
usage=$(cat <<'EOF'
usage: make-wineprefix.sh wine|wine64 PREFIX
       make-wineprefix.sh --template
       make-wineprefix.sh --check-template
  --template        make the template where it is missing and print its path,
                    for a copy of this tree to share it (NERIM_WINEPREFIX_TEMPLATE)
  --check-template  exit 1, naming the files, when one of the template's
                    shared files no longer has the bytes it was made with
EOF
)
. "$(dirname "$0")/lib.sh" "$@"
here=$(cd "$(dirname "$0")" && pwd)
template=${NERIM_WINEPREFIX_TEMPLATE-$(dirname "$here")/build/wineprefix-template}

# The template's files that prefixes share: wine's programs and libraries.
SharedFiles() {  # FOLDER: their paths inside it, NUL-separated
  (cd "$1" && find drive_c/windows -type f \( -name '*.dll' -o -name '*.exe' -o -name '*.drv' \
    -o -name '*.sys' -o -name '*.ocx' -o -name '*.cpl' -o -name '*.acm' -o -name '*.nls' \
    -o -name '*.tlb' -o -name '*.vxd' \) -print0)
}

Fingerprint() { (cd "$1" && SharedFiles . | xargs -0 -P2 -n200 md5sum | sort -k2); }

MakeWithWineboot() {  # FLAVOUR PREFIX
  rm -rf "$2"
  mkdir -p "$(dirname "$2")"
  Note "making a wine prefix with wineboot (about half a minute): $2"
  # Where wine's 32-bit side cannot run, wineboot says so and goes on.
  WINEPREFIX=$2 WINEARCH=win64 "$here/wine-run.sh" "$1" wineboot -i >/dev/null 2>&1 || true
  # The registry reaches its files when the wine server ends.
  WINEPREFIX=$2 timeout 60 wineserver -w || true
  [ -f "$2/system.reg" ] || Die "wineboot did not create $2"
  WINEPREFIX=$2 "$here/wine-run.sh" "$1" reg add 'HKCU\Software\Wine\Drivers' \
    /v Graphics /d null /f >/dev/null
}

# A template made by another wine is made again: that wine would update
# the shared files in place on its first start.
MakeTemplate() {
  local wine_version
  wine_version=$(WINEPREFIX=$template "$here/wine-run.sh" wine64 --version)
  [ -f "$template/.ready" ] && [ "$(cat "$template/.wine-version")" = "$wine_version" ] && return 0
  MakeWithWineboot wine64 "$template"
  Fingerprint "$template" > "$template/.fingerprint"
  echo "$wine_version" > "$template/.wine-version"
  touch "$template/.ready"
}

# Two tests may want the template at once; one makes it. One named by
# NERIM_WINEPREFIX_TEMPLATE is made by whoever named it.
LockedTemplate() {
  mkdir -p "$(dirname "$template")"
  exec 9>"$template.lock"
  flock 9
  if [ -n "${NERIM_WINEPREFIX_TEMPLATE-}" ]; then
    [ -f "$template/.ready" ] || Die "no finished template at $template"
  else
    MakeTemplate
  fi
  exec 9>&-
}

# Hard links to everything, then the files that are not shared become
# copies of their own. Where the two are on different file systems, a copy.
CopyTemplate() {  # PREFIX
  rm -rf "$1.new"
  mkdir -p "$(dirname "$1")"
  if ! cp -al "$template" "$1.new" 2>/dev/null; then
    rm -rf "$1.new"
    cp -a "$template" "$1.new" || Die "cannot copy $template to $1"
  fi
  local shared
  shared=$(SharedFiles "$1.new" | tr '\0' '\n')
  (cd "$1.new" && find . -type f -links +1 -printf '%P\n' | grep -vxF -f <(echo "$shared") |
    while IFS= read -r file; do
      cp -p "$file" "$file.own" && mv -f "$file.own" "$file"
    done) || Die "cannot make $1's own copies of the template's files"
  rm -f "$1.new/.fingerprint"
  mv "$1.new" "$1"
}

case ${1:-} in
  --check-template)
    [ $# -eq 1 ] || BadUsage "--check-template takes nothing more"
    [ -f "$template/.fingerprint" ] || exit 0
    # diff says 1 when the files differ: that is read from its lines.
    changed=$(Fingerprint "$template" | { diff "$template/.fingerprint" - || true; } |
      sed -n 's/^> [0-9a-f]*  //p')
    [ -z "$changed" ] && exit 0
    rm -f "$template/.ready"
    Die "a test wrote into the shared wine files, so every prefix made since is suspect (the template is made again next time): $(echo $changed)" ;;
  --template)
    [ $# -eq 1 ] || BadUsage "--template takes nothing more"
    [ -n "$template" ] || Die "NERIM_WINEPREFIX_TEMPLATE is empty: there is no template"
    LockedTemplate
    echo "$template"
    exit 0 ;;
  wine|wine64) [ $# -eq 2 ] || BadUsage "expected wine|wine64 and PREFIX" ;;
  *) BadUsage "expected wine|wine64 and PREFIX" ;;
esac
flavour=$1
prefix=$2
[ -f "$prefix/.ready" ] && exit 0
if [ -z "$template" ]; then
  MakeWithWineboot "$flavour" "$prefix"
else
  LockedTemplate
  CopyTemplate "$prefix"
fi
touch "$prefix/.ready"
