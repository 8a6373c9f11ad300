#!/usr/bin/env bash
# Builds the peer guest's initramfs: busybox, the USB core and xHCI host
# modules, the guest test program with the shared libraries it loads, and an
# init that loads the modules, runs the program and powers off.
# Usage: build-image.sh OUT.cpio KERNEL_DIR PROGRAM
# The guest must reach the converter only through usbfs, so the image holds
# no kernel module but the four allowed ones; anything else (a USB serial
# class driver in particular) makes the build fail.
set -euo pipefail
out=${1:?usage: build-image.sh OUT KERNEL_DIR PROGRAM}
kdir=${2:?}
prog=${3:?}
allowed=(usb-common.ko usbcore.ko xhci-hcd.ko xhci-pci.ko)

busybox=/bin/busybox
[ -x "$busybox" ] || { echo "build-image: $busybox not found (package busybox-static)" >&2; exit 1; }
if ldd "$busybox" >/dev/null 2>&1; then
  echo "build-image: $busybox is not statically linked (package busybox-static)" >&2; exit 1
fi
for m in "${allowed[@]}"; do
  [ -f "$kdir/modules/$m" ] || { echo "build-image: $kdir/modules/$m missing (run tests/peer/fetch-kernel.sh)" >&2; exit 1; }
done

stage=$(mktemp -d "${out}.stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage"/{bin,dev,proc,sys,tmp,modules,peer}
cp "$busybox" "$stage/bin/busybox"
cp "$kdir"/modules/*.ko "$stage/modules/"
cp "$prog" "$stage/peer/guest"

# The program and every library the loader will pull in, at the same paths.
ldd "$prog" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' | while read -r lib; do
  mkdir -p "$stage$(dirname "$lib")"
  cp -L "$lib" "$stage$lib"
done

cat > "$stage/init" <<'INIT'
#!/bin/busybox sh
bb=/bin/busybox
$bb mount -t proc proc /proc
$bb mount -t sysfs sysfs /sys
$bb mount -t devtmpfs devtmpfs /dev
for m in usb-common usbcore xhci-hcd xhci-pci; do
  $bb insmod /modules/$m.ko || echo "PEER RESULT FAIL insmod $m"
done
# Both converters must be enumerated before the test lists them.
n=0
while [ $n -lt 100 ]; do
  c=$($bb cat /sys/bus/usb/devices/*/idProduct 2>/dev/null | $bb grep -c 6001)
  [ "$c" -ge 2 ] && break
  $bb usleep 50000
  n=$((n + 1))
done
echo "PEER BOOTED after $($bb cut -d ' ' -f 1 /proc/uptime) s"
/peer/guest
echo "PEER EXIT $?"
$bb poweroff -f
INIT
chmod +x "$stage/init"

# Refuse an image that could bind a kernel driver to the converter: only the
# four allowed modules, none of them claiming the converter's vendor, and no
# USB serial driver built into the kernel.
bad=$(cd "$stage" && find . \( -name '*.ko' -o -name '*.ko.*' \) | while read -r f; do
  ok=0
  for m in "${allowed[@]}"; do [ "$f" = "./modules/$m" ] && ok=1; done
  [ $ok -eq 1 ] || echo "$f (not allowed)"
  if grep -aqi 'alias=usb:v0403' "$f"; then echo "$f (binds vendor 0403)"; fi
done)
if [ -f "$kdir/modules.builtin" ] && grep -q 'drivers/usb/serial/' "$kdir/modules.builtin"; then
  bad+=" kernel with a built-in USB serial driver"
fi
if [ -n "$bad" ]; then
  echo "build-image: refusing to build, the image would hold: $bad" >&2
  exit 1
fi

(cd "$stage" && find . \( -name '*.ko' -o -name '*.ko.*' \) | while read -r f; do
  ok=0
  for m in "${allowed[@]}"; do [ "$f" = "./modules/$m" ] && ok=1; done
  [ $ok -eq 1 ] || echo "$f"
done)
if [ -n "$bad" ]; then
  echo "build-image: refusing to build, kernel modules other than ${allowed[*]} in the image: $bad" >&2
  exit 1
fi

(cd "$stage" && find . | "$busybox" cpio -o -H newc 2>/dev/null) > "$out.tmp"
mv "$out.tmp" "$out"
