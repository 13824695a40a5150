#!/usr/bin/env bash
# Creates a private 64-bit wine prefix once: no display needed, no prompts.
# Where NERIM_WINEPREFIX_TEMPLATE names a finished prefix made by the same
# wine, PREFIX is a copy of it: a 32-bit side made under emulation costs
# minutes each time.
usage=$(cat <<'EOF'
usage: make-wineprefix.sh wine|wine64 PREFIX
EOF
)
. "$(dirname "$0")/lib.sh"
case ${1:-} in
  -h|--help) Usage; exit 0 ;;
  wine|wine64) [ $# -eq 2 ] || { Usage >&2; exit 2; } ;;
  *) Usage >&2; exit 2 ;;
esac
flavour=$1
prefix=$2
here=$(cd "$(dirname "$0")" && pwd)
[ -f "$prefix/.ready" ] && exit 0
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
template=${NERIM_WINEPREFIX_TEMPLATE:-}
if [ -n "$template" ] && [ -f "$template/.ready" ]; then
  cp -a "$template" "$prefix.new" && mv "$prefix.new" "$prefix" && exit 0
  rm -rf "$prefix.new"
  echo "make-wineprefix.sh: cannot copy $template" >&2
  exit 1
fi
export WINEPREFIX=$prefix WINEARCH=win64
# Where wine's 32-bit side cannot run, wineboot says so and goes on.
"$here/wine-run.sh" "$flavour" wineboot -i >/dev/null 2>&1 || true
# The registry reaches its files when the wine server ends.
timeout 60 wineserver -w || true
[ -f "$prefix/system.reg" ] || { echo "wineboot did not create $prefix" >&2; exit 1; }
"$here/wine-run.sh" "$flavour" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
touch "$prefix/.ready"
