#!/usr/bin/env bash
# Builds the peer guest's image and boots it. Fails, never skips, when QEMU
# or the kernel is not there.
# Usage: run.sh PEER_HOST PEER_GUEST KERNEL_DIR WORK_DIR [can CONSOLE]
#   (the CAN guest: the console bridging the trace to the guest kernel's vcan)
set -euo pipefail
host=${1:?} guest=${2:?} kdir=${3:?} work=${4:?} variant=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
qemu=$(command -v qemu-system-x86_64 || true)
if [ -z "$qemu" ]; then
  echo "peer: FAIL qemu-system-x86_64 not found: install the package qemu-system-x86 (scripts/deps.sh --tests does)" >&2
  exit 1
fi
if [ ! -f "$kdir/vmlinuz" ]; then
  echo "peer: FAIL no kernel in $kdir: run scripts/deps.sh --tests, or tests/peer/fetch-kernel.sh $kdir" >&2
  exit 1
fi
mkdir -p "$work"
image=$work/peer${variant:+-$variant}.cpio
"$here/build-image.sh" "$image" "$kdir" "$guest" ${variant:+"$variant" "${6:?}"}
kernel=$kdir/vmlinuz
[ -f "$kdir/vmlinux" ] && kernel=$kdir/vmlinux   # boots without unpacking itself
exec "$host" "$qemu" "$kernel" "$image" "${PEER_TIMEOUT:-150}" ${variant:+"$variant"}
