#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 or 13, as root.
#
# Required: what the 64-bit side needs and, where the host's own wine cannot
# run 32-bit programs, what the tree of wine32-root.sh needs for that
# (mmdebstrap, and qemu-user-static where this host cannot execute i386
# code). Optional: the host's own wine32:i386, tried only where the host
# executes 32-bit code; a failure to get it is said in one line and
# remembered for a day, so that a package index that lags does not send
# every later run to the network. Where everything is present, nothing
# touches the network. NERIM_DEPS_OPTIONAL and NERIM_DEPS_TREE, where set,
# name the optional and the tree's packages instead of asking the host
# (empty: none).
usage=$(cat <<'EOF'
usage: install-deps.sh [--check] [--retry-optional]
  --check           print what is missing, install nothing; exit 1 when
                    something required is missing
  --retry-optional  try the optional 32-bit packages again even where they
                    could not be installed less than a day ago
EOF
)
. "$(dirname "$0")/lib.sh" "$@"
set +e  # the exit codes of apt and dpkg are read
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"

required=(g++ cmake ninja-build googletest coreutils python3 python3-pefile
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wixl msitools
          osslsigncode openssl xorriso zip nsis
          libengine-pkcs11-openssl gnutls-bin softhsm2 strace python3-cryptography
          opensc-pkcs11 python3-jsonschema)
state=${NERIM_DEPS_STATE:-/var/cache/nerim-setup-deps}
optional_failed=$state/optional-failed


check=0 retry=0
for arg in "$@"; do
  case $arg in
    --check) check=1 ;;
    --retry-optional) retry=1 ;;
    *) BadUsage "unknown option $arg" ;;
  esac
done

# The packages of "$@" that dpkg does not have installed, one a line.
Missing() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -qx 'install ok installed' ||
      echo "$package"
  done
}

# The host's own 32-bit wine is worth having only where the host executes
# 32-bit code itself; under emulation the tree's is as fast and always
# installable.
OptionalWanted() {
  if [ -n "${NERIM_DEPS_OPTIONAL+set}" ]; then
    printf '%s\n' $NERIM_DEPS_OPTIONAL
  elif Runs32BitCode; then
    echo wine32:i386
  fi
}

# What the tree of wine32-root.sh needs, where the host's wine32 is missing.
TreeWanted() {
  if [ -n "${NERIM_DEPS_TREE+set}" ]; then
    printf '%s\n' $NERIM_DEPS_TREE
  elif ! Runs32BitCode; then
    echo mmdebstrap
    echo qemu-user-static
  elif [ -n "$(Missing wine32:i386)" ]; then
    echo mmdebstrap
  fi
}

# A failing index (a mirror in mid-sync, say) is no reason to stop: the
# other indexes, or the ones already on the machine, may hold all we need.
UpdateIndexes() {
  apt-get update -qq && return 0
  Note "apt-get update failed; trying once more"
  apt-get update -qq && return 0
  Note "apt-get update failed again; installing from the indexes at hand"
}

# Installs "$@" together, or, where that fails, one by one, so that one
# package that cannot be had does not keep the others out.
Install() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" \
    >/dev/null 2>&1 && return 0
  local package
  for package in "$@"; do
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$package" \
      >/dev/null 2>&1
  done
}

RememberedFailure() {
  [ "$retry" = 0 ] && [ -n "$(find "$optional_failed" -mmin -1440 2>/dev/null)" ]
}

InstallRequired() {
  local -a need=("$@")
  Note "installing ${#need[@]} required package(s) with apt-get (a minute or more): ${need[*]}"
  UpdateIndexes
  Install "${need[@]}"
  local -a still
  mapfile -t still < <(Missing "${need[@]}")
  if [ ${#still[@]} -gt 0 ]; then
    Note "cannot install required package(s): ${still[*]}"
    return 1
  fi
}

InstallOptional() {
  local -a need=("$@")
  local added=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386 && added=1
  fi
  Note "installing ${#need[@]} optional package(s) with apt-get: ${need[*]}"
  UpdateIndexes
  Install "${need[@]}"
  local -a still
  mapfile -t still < <(Missing "${need[@]}")
  if [ ${#still[@]} -eq 0 ]; then
    rm -f "$optional_failed"
    return 0
  fi
  # An architecture added for nothing would only slow every later update.
  [ "$added" = 1 ] && dpkg --remove-architecture i386 2>/dev/null
  mkdir -p "$state" && printf '%s\n' "${still[@]}" > "$optional_failed"
  echo "$script_name: optional ${still[*]} cannot be installed now (tried again after a day," \
       "or with --retry-optional); the shipped 32-bit setup.exe will be checked but not run"
}

mapfile -t need < <(Missing "${required[@]}" $(TreeWanted))
mapfile -t optional < <(Missing $(OptionalWanted))

if [ "$check" = 1 ]; then
  [ ${#need[@]} -gt 0 ] && echo "missing, required: ${need[*]}"
  [ ${#optional[@]} -gt 0 ] && echo "missing, optional (32-bit runs only): ${optional[*]}"
  [ ${#need[@]} -eq 0 ] && [ ${#optional[@]} -eq 0 ] && echo "nothing missing"
  [ ${#need[@]} -eq 0 ]
  exit
fi

if [ ${#need[@]} -gt 0 ] || { [ ${#optional[@]} -gt 0 ] && ! RememberedFailure; }; then
  if [ "$(id -u)" -ne 0 ]; then
    Note "missing ${need[*]} ${optional[*]}; run this script as root"
    [ ${#need[@]} -eq 0 ]
    exit
  fi
fi
if [ ${#need[@]} -gt 0 ]; then
  InstallRequired "${need[@]}" || exit 1
fi
if [ ${#optional[@]} -gt 0 ]; then
  if RememberedFailure; then
    echo "$script_name: optional ${optional[*]} could not be installed on" \
         "$(date -r "$optional_failed" '+%F %R'); not tried again before a day has passed" \
         "(--retry-optional tries now)"
  else
    InstallOptional "${optional[@]}"
  fi
fi
exit 0
