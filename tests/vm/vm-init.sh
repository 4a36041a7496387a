#!/bin/busybox sh
# SPDX-License-Identifier: GPL-3.0-or-later
# /init of the VM tier's initramfs (see run-in-vm.sh): loads the virtio and 9p modules, mounts the
# host's root read-only and the writable share, then switches to the host's root and runs
# vm-stage2.sh there as PID 1.
/bin/busybox --install -s /bin
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
fail() {
    echo "vm-init: $*"
    poweroff -f
}
while read -r m; do
    insmod "/lib/modules/$m" || fail "cannot load $m"
done </modules.order
opts=trans=virtio,version=9p2000.L,msize=512000
mount -t 9p -o "$opts,ro,cache=loose" hostroot /host || fail "cannot mount the host's root"
mount -t 9p -o "$opts" out /out || fail "cannot mount the output share"
: >/out/booted
stage2=$(cat /out/stage2)
[ -f "/host$stage2" ] || fail "no $stage2 on the host's root"
# /tmp of the host's root becomes the VM's own tmpfs; the output share is moved beneath it.
mount -t tmpfs -o mode=1777 tmpfs /host/tmp || fail "cannot mount tmpfs on /tmp"
mkdir -p /host/tmp/quellon-vm-out
mount --move /out /host/tmp/quellon-vm-out
mount --move /proc /host/proc
mount --move /sys /host/sys
mount --move /dev /host/dev
exec switch_root /host /bin/bash "$stage2"
