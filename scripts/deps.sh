#!/usr/bin/env bash
# Installs the Debian 12 packages that are missing, and only those. Works as
# root, and as a normal user where sudo exists.
#   scripts/deps.sh           what building and running the console need
#   scripts/deps.sh --tests   that and the test tooling, and the kernel of the
#                             peer test's guest (a 70 MB download)
#   scripts/deps.sh --list [--tests]   print the packages, install nothing
set -euo pipefail
for_tests=false
list_only=false
for arg in "$@"; do
  case $arg in
    --tests) for_tests=true ;;
    --list) list_only=true ;;
    *) echo "usage: scripts/deps.sh [--tests] [--list]" >&2; exit 2 ;;
  esac
done

# Building and running: compiler, CMake with Ninja, libusb-1.0 and libedit.
run_pkgs=(build-essential cmake ninja-build pkg-config libusb-1.0-0-dev libedit-dev)
# The test suite: GoogleTest and Google Benchmark, clang and LLVM for the
# fuzz targets, umockdev for the real-libusb tests, QEMU and busybox for the
# peer test (xz unpacks its kernel), python-can and jsonschema for the
# scripted tests, tmux for the terminal test, bash-completion for the
# completion, lintian (and file, for dpkg-shlibdeps' caller) for the packages.
test_pkgs=(libgtest-dev libgmock-dev googletest libbenchmark-dev
           clang libclang-rt-14-dev llvm
           umockdev libumockdev-dev
           qemu-system-x86 busybox-static xz-utils
           python3-can python3-jsonschema
           tmux bash-completion
           lintian file)
pkgs=("${run_pkgs[@]}")
$for_tests && pkgs+=("${test_pkgs[@]}")
if $list_only; then
  printf '%s\n' "${pkgs[@]}"
  exit 0
fi

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
if [ ${#missing[@]} -eq 0 ]; then
  echo "== deps: all ${#pkgs[@]} packages are installed" >&2
  peer_kernel
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "missing packages: ${missing[*]}; run as root or install sudo" >&2
  exit 1
fi
echo "== deps: installing ${#missing[@]} packages: ${missing[*]}" >&2
"${as_root[@]}" apt-get update -q
# The console alone takes only what it needs; the test tooling as Debian
# recommends it (QEMU, for one, wants its firmware packages).
lean=(--no-install-recommends)
$for_tests && lean=()
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -q "${lean[@]}" "${missing[@]}"
peer_kernel
