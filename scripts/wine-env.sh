# Sourced by the scripts: what this host's wine can run.

# True when wine's 32-bit side runs natively. Some hosts (kernels without
# 32-bit support, some sandboxes) cannot execute i386 code at all, or only
# through an emulator at about a minute per process start; there the Win32
# tests run the same sources built for 64-bit Windows instead.
Wine32Works() {
  [ -x /usr/lib/wine/wine ] || return 1
  if ls /proc/sys/fs/binfmt_misc/ 2>/dev/null | grep -q i386; then
    return 1
  fi
  timeout 20 /usr/lib/wine/wine --version >/dev/null 2>&1
}
