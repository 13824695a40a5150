# Sourced by the scripts: what this host can run.
# usage: . scripts/wine-env.sh   (defines Runs32BitCode, Wine32Problem, Wine32Works)
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  echo "usage: . scripts/wine-env.sh   (defines Runs32BitCode, Wine32Problem, Wine32Works)"
  case ${1:-} in -h|--help) exit 0 ;; *) exit 2 ;; esac
fi

# True when this host executes 32-bit x86 code itself, not through an
# emulator registered with binfmt_misc. Some kernels and sandboxes cannot.
# Tried with a 93-byte i386 program that only exits with code 7.
Runs32BitCode() {
  if ls /proc/sys/fs/binfmt_misc/ 2>/dev/null | grep -q i386; then
    return 1
  fi
  local probe
  probe=$(mktemp) || return 1
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xb3\x07\xcd\x80' > "$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null
  local code=$?
  rm -f "$probe"
  [ "$code" = 7 ]
}

# What keeps wine's 32-bit side from running natively here, in a few words;
# nothing, and exit 1, when it runs. Elsewhere it runs only through an
# emulator, at about a minute per process start, so the Win32 tests run the
# same sources built for 64-bit Windows instead.
Wine32Problem() {
  if ! Runs32BitCode; then
    echo "this host cannot execute 32-bit x86 code"
  elif [ ! -x /usr/lib/wine/wine ]; then
    echo "wine32:i386 is not installed"
  elif ! timeout 20 /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "wine's 32-bit loader does not start"
  else
    return 1
  fi
}

Wine32Works() { ! Wine32Problem >/dev/null; }
