#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# PID 1 of the VM tier, on the host's root (read-only over 9p): scratch file systems, the kernel
# modules the tests need, then the command run-in-vm.sh wrote; its exit code goes back through the
# writable share and the VM powers off.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
out=/tmp/quellon-vm-out
mount -t tmpfs -o mode=755 tmpfs /run
mount -t tmpfs -o mode=1777 tmpfs /var/tmp
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
echo /sbin/modprobe >/proc/sys/kernel/modprobe
echo 1 >/proc/sys/fs/protected_symlinks
# Loaded here so that a missing one is named, not met later as a failing mount.
for m in loop dm_mod dm_flakey dm_log_writes fuse ext4 xfs btrfs vfat exfat f2fs nilfs2 \
    nls_cp437 nls_iso8859_1 nls_utf8; do
    modprobe "$m" 2>&1 || echo "vm: cannot load module $m"
done
export TMPDIR=/tmp HOME=/root LANG=C.UTF-8
# TMPDIR on ext4 instead (QUELLON_VM_SCRATCH=ext4): a loop-mounted image in the VM's tmpfs, for
# tests whose temporary files need a disk file system (block maps, direct I/O).
if [ "$(cat "$out/scratch")" = ext4 ]; then
    mkdir -p /tmp/scratch
    truncate -s 3G /tmp/scratch.img && mkfs.ext4 -q -F /tmp/scratch.img &&
        mount -o loop /tmp/scratch.img /tmp/scratch && chmod 1777 /tmp/scratch && export TMPDIR=/tmp/scratch ||
        echo "vm: cannot make the ext4 scratch" >>"$out/output"
fi
echo "vm: $(uname -sr), root $(id -un), TMPDIR=$TMPDIR on $(stat -f -c %T "$TMPDIR")" >>"$out/output"
bash "$out/command" >>"$out/output" 2>&1 </dev/null
echo $? >"$out/rc"
sync
umount "$out" 2>/dev/null
busybox poweroff -f || { echo 1 >/proc/sys/kernel/sysrq; echo o >/proc/sysrq-trigger; }
