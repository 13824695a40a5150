#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12, as root.
# Safe to run again: it does nothing when every tool is already there.
set -euo pipefail

need=()
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v wine >/dev/null || need+=(wine)
command -v wine64 >/dev/null || need+=(wine64)
[ -x /usr/lib/wine/wine ] || need+=(wine32:i386)
command -v wixl >/dev/null || need+=(wixl)
command -v msiinfo >/dev/null || need+=(msitools)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
# Debian's own python3, whatever else is first on PATH.
[ -x /usr/bin/python3 ] || need+=(python3)
/usr/bin/python3 -c 'import pefile' 2>/dev/null || need+=(python3-pefile)
command -v timeout >/dev/null || need+=(coreutils)
# Runs the shipped 32-bit exe where the host cannot execute 32-bit code.
[ -x /usr/bin/qemu-i386-static ] || need+=(qemu-user-static)

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${need[*]}; run this script as root" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
