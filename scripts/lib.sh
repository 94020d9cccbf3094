# shellcheck shell=bash
# Shared by the project's scripts: sourced, not run.

# Installs the Debian packages among "$@" that are missing; apt's index is
# refreshed once per run, and only when something has to be installed. One
# caller at a time (a test stage runs beside the others): the lock is this
# file's, held while the function runs.
need_packages() {
  local lock result=0
  exec {lock}<"${BASH_SOURCE[0]}"
  flock "$lock"
  need_packages_locked "$@" || result=$?
  exec {lock}<&-
  return "$result"
}

need_packages_locked() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root, or install them)" >&2
    return 1
  fi
  if [ -z "${NORVASK_APT_UPDATED:-}" ]; then
    apt-get update -q >&2 || return 1
    export NORVASK_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

# What every build of the daemon needs (busybox and shellcheck: the start
# script's tests).
need_build_tools() {
  need_packages cmake ninja-build g++ make libgtest-dev googletest busybox shellcheck
}

# A router build for ARCH (aarch64, armhf or mipsel, as the presets name it):
# Debian's cross compiler (it brings the target's C library) and qemu-user to
# run its programs here.
need_cross_tools() {
  case $1 in
    aarch64) need_packages g++-aarch64-linux-gnu qemu-user ;;
    armhf) need_packages g++-arm-linux-gnueabihf qemu-user ;;
    mipsel) need_packages g++-mipsel-linux-gnu qemu-user ;;
    *)
      echo "no router build for $1 (aarch64, armhf, mipsel)" >&2
      return 1
      ;;
  esac
}

# The router build for the emulated router's CPU.
need_aarch64_tools() {
  need_cross_tools aarch64
}

# What the board simulator needs besides the build: the router's tools
# (busybox's ifconfig and grep, a netstat that names programs, ip), Python,
# and strace (the CGI's tests stop or kill it at a chosen call).
need_sim_tools() {
  need_packages busybox net-tools iproute2 python3 strace
}

# The owner's page in a real browser (web/tests/): headless Chromium, its
# driver and Selenium for Debian's Python.
need_browser_tools() {
  need_packages chromium chromium-driver python3-selenium
}

# The emulated arm64 router: qemu's system emulator, and what vm/image.py
# needs to build its image (dtc: the router's device tree).
need_vm_tools() {
  need_packages qemu-system-arm cmake ninja-build g++-aarch64-linux-gnu binutils cpio kmod \
    debian-archive-keyring python3 device-tree-compiler
}
