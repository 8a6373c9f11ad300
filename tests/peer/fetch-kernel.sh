#!/usr/bin/env bash
# Takes the kernel and the modules the peer guests need out of Debian's
# kernel package, without installing the package: `apt-get download` of the
# .deb into DIR, then only those files are unpacked from it. The USB guest
# loads the four USB modules; the CAN guest the CAN core, its raw sockets and
# the virtual CAN interface (with the CAN device core it builds on).
# Usage: fetch-kernel.sh DIR      (DIR/vmlinuz, DIR/vmlinux when it can be
#                                  booted directly, DIR/modules/*.ko result)
set -euo pipefail
dir=${1:?usage: fetch-kernel.sh DIR}
mods=(usb-common usbcore xhci-hcd xhci-pci can can-raw can-dev vcan)

# Unpacking the compressed kernel is most of the guest's boot time under
# TCG, so keep it unpacked too when it can be booted directly (an ELF image
# with the PVH entry note); run.sh falls back to vmlinuz otherwise.
unpacked_kernel() {
  [ -f vmlinux ] || [ -f vmlinux.none ] && return 0
  local off
  off=$(LC_ALL=C grep -aobUP '\xfd7zXZ\x00' vmlinuz | head -n 1 | cut -d: -f1 || true)
  if [ -n "$off" ] && command -v xz >/dev/null; then
    tail -c +$((off + 1)) vmlinuz | xz -dcq > vmlinux.new 2>/dev/null || true
    if [ "$(head -c 4 vmlinux.new | od -An -c | tr -d ' ')" = '177ELF' ] &&
       readelf -n vmlinux.new 2>/dev/null | grep -q 'Xen.*(0x00000012)'; then
      mv vmlinux.new vmlinux
    fi
  fi
  rm -f vmlinux.new
  # Give up for good only when the tools were there and the image is unfit.
  if [ ! -f vmlinux ] && command -v xz >/dev/null && command -v readelf >/dev/null; then touch vmlinux.none; fi
  return 0
}

mkdir -p "$dir"
cd "$dir"
if [ -f vmlinuz ] && [ -f modules.builtin ] && [ "$(ls modules/*.ko 2>/dev/null | wc -l)" -eq ${#mods[@]} ]; then
  unpacked_kernel
  exit 0
fi

# The meta package names the current kernel package.
kernel_package() { apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'; }
pkg=$(kernel_package)
if [ -z "$pkg" ] && [ "$(id -u)" -eq 0 ]; then
  apt-get update -q >&2 || true
  pkg=$(kernel_package)
fi
if [ -z "$pkg" ]; then
  echo "fetch-kernel: apt does not know linux-image-amd64; run apt-get update first" >&2
  exit 1
fi
deb=$(ls "${pkg}"_*.deb 2>/dev/null | head -n 1 || true)
if [ -z "$deb" ]; then
  # apt's download sandbox user may not write here; the warning is harmless.
  apt-get download -q "$pkg" 2>&1 | grep -v 'unsandboxed' >&2 || true
  deb=$(ls "${pkg}"_*.deb 2>/dev/null | head -n 1 || true)
  [ -n "$deb" ] || { echo "fetch-kernel: apt-get download $pkg failed" >&2; exit 1; }
fi

patterns=('./boot/vmlinuz-*' '*/modules.builtin')
for m in "${mods[@]}"; do patterns+=("*/$m.ko" "*/$m.ko.xz"); done
rm -rf unpack modules vmlinux vmlinux.none
mkdir -p unpack modules
dpkg-deb --fsys-tarfile "$deb" | tar -x -C unpack --wildcards "${patterns[@]}" 2>/dev/null || true
cp unpack/boot/vmlinuz-* vmlinuz.new
for m in "${mods[@]}"; do
  f=$(find unpack -name "$m.ko" -o -name "$m.ko.xz" | head -n 1)
  [ -n "$f" ] || { echo "fetch-kernel: $m not in $deb" >&2; exit 1; }
  case "$f" in *.xz) xz -dc "$f" > "modules/$m.ko" ;; *) cp "$f" "modules/$m.ko" ;; esac
done
find unpack -name modules.builtin -exec cp {} modules.builtin \;
[ -f modules.builtin ] || { echo "fetch-kernel: modules.builtin not in $deb" >&2; exit 1; }
mv vmlinuz.new vmlinuz
unpacked_kernel
rm -rf unpack "$deb"   # those modules and the kernel are all we keep
echo "$pkg" > package
