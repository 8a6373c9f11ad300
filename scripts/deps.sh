#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need, only those
# that are missing. Works as root, and as a normal user where sudo exists.
# With --tests it also fetches the kernel of the peer test's guest (a 70 MB
# download that only the test suite needs).
set -euo pipefail
for_tests=false
[ "${1:-}" = "--tests" ] && for_tests=true

pkgs=(build-essential cmake ninja-build pkg-config libusb-1.0-0-dev
      libgtest-dev libgmock-dev googletest libbenchmark-dev
      python3-can
      python3-jsonschema
      libedit-dev
      tmux
      bash-completion
      clang
      libclang-rt-14-dev
      llvm
      umockdev
      libumockdev-dev
      qemu-system-x86
      busybox-static
      xz-utils)

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# Kernel and USB modules of the peer test's guest, out of Debian's package
# (after the packages: it needs xz and readelf).
peer_kernel() {
  $for_tests || return 0
  "$(dirname "$0")/../tests/peer/fetch-kernel.sh" "$(dirname "$0")/../build/peer-kernel" ||
    echo "deps: no kernel for the peer test (tests/peer/fetch-kernel.sh); that test will fail" >&2
}
[ ${#missing[@]} -eq 0 ] && { peer_kernel; exit 0; }

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "missing packages: ${missing[*]}; run as root or install sudo" >&2
  exit 1
fi
echo "installing: ${missing[*]}" >&2
"${as_root[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q "${missing[@]}"
peer_kernel
