#!/usr/bin/env bash
# The image builder must refuse any image in which the guest kernel could
# bind a driver of its own to the converter. Fake kernel folders with one
# fault each; a clean one shows that the refusals come from the fault.
# Usage: refusal_test.sh PROGRAM WORK_DIR
set -uo pipefail
prog=${1:?} work=${2:?}/refusal
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
failures=0

fake() {  # fake DIR: the modules of both guests, harmless contents
  mkdir -p "$1/modules"
  for m in usb-common usbcore xhci-hcd xhci-pci can can-raw can-dev vcan; do echo "module $m" > "$1/modules/$m.ko"; done
  echo "kernel/drivers/usb/host/ehci-hcd.ko" > "$1/modules.builtin"
}

expect() {  # expect ok|refused NAME DIR [can]: the USB guest, or the CAN one
  local out rc
  out=$("$here/build-image.sh" "$work/$2.cpio" "$3" "$prog" ${4:+"$4" "$prog"} 2>&1); rc=$?
  if [ "$1" = ok ] && [ $rc -ne 0 ]; then
    echo "FAIL $2: build refused: $out"; failures=$((failures + 1))
  elif [ "$1" = refused ] && { [ $rc -eq 0 ] || ! grep -q 'refusing' <<<"$out"; }; then
    echo "FAIL $2: not refused (status $rc): $out"; failures=$((failures + 1))
  elif [ "$1" = refused ] && [ -e "$work/$2.cpio" ]; then
    echo "FAIL $2: image written although refused"; failures=$((failures + 1))
  else
    echo "ok $2"
  fi
}

fake "$work/clean"
expect ok clean "$work/clean"
expect ok can-clean "$work/clean" can

fake "$work/extra"
echo "module" > "$work/extra/modules/usbserial.ko"
expect refused extra-module "$work/extra"
expect refused can-extra-module "$work/extra" can

fake "$work/alias"
printf 'module\0alias=usb:v0403p6001d*dc*dsc*dp*ic*isc*ip*in*\0' > "$work/alias/modules/usbcore.ko"
expect refused vendor-alias "$work/alias"

fake "$work/builtin"
echo "kernel/drivers/usb/serial/usbserial.ko" >> "$work/builtin/modules.builtin"
expect refused built-in "$work/builtin"
expect refused can-built-in "$work/builtin" can

rm -rf "$work"
[ $failures -eq 0 ]
