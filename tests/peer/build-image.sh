#!/usr/bin/env bash
# Builds a peer guest's initramfs: busybox, the kernel modules of the
# guest, the guest test program with the shared libraries it loads, and an
# init that loads the modules, runs the program and powers off.
# Usage: build-image.sh OUT.cpio KERNEL_DIR PROGRAM [can CONSOLE]
# The USB guest (the default) holds the USB core and xHCI host modules and
# waits for its two converters. The CAN guest holds the CAN core, raw CAN
# sockets and the virtual CAN interface, and the console (tarnctl-sim) at
# /peer/console.
# The USB guest must reach the converter only through usbfs, so no image
# holds a kernel module but its allowed ones, and a kernel folder holding a
# module that none of the guests asked for (a USB serial class driver in
# particular) makes the build fail.
set -euo pipefail
out=${1:?usage: build-image.sh OUT KERNEL_DIR PROGRAM [can CONSOLE]}
kdir=${2:?}
prog=${3:?}
variant=${4:-usb}
case $variant in
  usb) allowed=(usb-common.ko usbcore.ko xhci-hcd.ko xhci-pci.ko) ;;
  can) allowed=(can.ko can-raw.ko can-dev.ko vcan.ko); console=${5:?usage: build-image.sh OUT KERNEL_DIR PROGRAM can CONSOLE} ;;
  *) echo "build-image: unknown guest $variant" >&2; exit 2 ;;
esac
known=(usb-common.ko usbcore.ko xhci-hcd.ko xhci-pci.ko can.ko can-raw.ko can-dev.ko vcan.ko)

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
for m in "${allowed[@]}"; do cp "$kdir/modules/$m" "$stage/modules/"; done
cp "$prog" "$stage/peer/guest"
[ "$variant" = can ] && cp "$console" "$stage/peer/console"

# The programs and every library the loader will pull in, at the same paths.
programs=("$prog")
[ "$variant" = can ] && programs+=("$console")
for p in "${programs[@]}"; do ldd "$p"; done |
  awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// {print $1}' | sort -u | while read -r lib; do
  mkdir -p "$stage$(dirname "$lib")"
  cp -L "$lib" "$stage$lib"
done

{
  cat <<'INIT'
#!/bin/busybox sh
bb=/bin/busybox
$bb mount -t proc proc /proc
$bb mount -t sysfs sysfs /sys
$bb mount -t devtmpfs devtmpfs /dev
INIT
  # Loaded in this order: each module's dependencies come before it.
  echo "for m in $(printf '%s ' "${allowed[@]%.ko}"); do"
  cat <<'INIT'
  $bb insmod /modules/$m.ko || echo "PEER RESULT FAIL insmod $m"
done
INIT
  [ "$variant" = usb ] && cat <<'INIT'
# Both converters must be enumerated before the test lists them.
n=0
while [ $n -lt 100 ]; do
  c=$($bb cat /sys/bus/usb/devices/*/idProduct 2>/dev/null | $bb grep -c 6001)
  [ "$c" -ge 2 ] && break
  $bb usleep 50000
  n=$((n + 1))
done
INIT
  cat <<'INIT'
echo "PEER BOOTED after $($bb cut -d ' ' -f 1 /proc/uptime) s"
/peer/guest
echo "PEER EXIT $?"
$bb poweroff -f
INIT
} > "$stage/init"
chmod +x "$stage/init"

# Refuse an image that could bind a kernel driver to the converter: only the
# allowed modules, none of them claiming the converter's vendor, no USB
# serial driver built into the kernel, and nothing in the kernel folder that
# no guest asked for.
bad=$(cd "$kdir/modules" && find . -type f | while read -r f; do
  ok=0
  for m in "${known[@]}"; do [ "$f" = "./$m" ] && ok=1; done
  [ $ok -eq 1 ] || echo "$f (not asked for)"
done)
bad+=$(cd "$stage" && find . \( -name '*.ko' -o -name '*.ko.*' \) | while read -r f; do
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
