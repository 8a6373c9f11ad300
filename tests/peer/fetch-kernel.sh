#!/usr/bin/env bash
# Takes the kernel and the four USB modules the peer guest needs out of
# Debian's kernel package, without installing the package: `apt-get download`
# of the .deb into DIR, then only those files are unpacked from it.
# Usage: fetch-kernel.sh DIR      (DIR/vmlinuz and DIR/modules/*.ko result)
set -euo pipefail
dir=${1:?usage: fetch-kernel.sh DIR}
mods=(usb-common usbcore xhci-hcd xhci-pci)

mkdir -p "$dir"
cd "$dir"
if [ -f vmlinuz ] && [ -f modules.builtin ] && [ "$(ls modules/*.ko 2>/dev/null | wc -l)" -eq ${#mods[@]} ]; then
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
rm -rf unpack modules
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
rm -rf unpack "$deb"   # the four modules and the kernel are all we keep
echo "$pkg" > package
