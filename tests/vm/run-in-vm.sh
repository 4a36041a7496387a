#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs one program as root inside a small VM on Debian's own kernel (linux-image-amd64) under
# qemu in software emulation (TCG), and exits with the program's exit code.
#
#   tests/vm/run-in-vm.sh PROGRAM [ARGS...]
#
# The VM boots a tiny initramfs (busybox-static and the virtio/9p modules of the installed Debian
# kernel), mounts this machine's root read-only over virtio-9p and switches to it, so PROGRAM, the
# build folder, the mkfs tools and the kernel's own modules are those of this machine. Inside:
# tmpfs on /tmp (TMPDIR), /run and /var/tmp; loop, device-mapper and the file-system modules are
# loaded. PROGRAM runs in the current folder; its output comes back through a second, writable 9p
# share and is printed here as it runs.
#
# Where the VM cannot start (not x86_64, no qemu or kernel and not root to install them, qemu fails
# to boot), it prints "skipped: <why>" and exits QUELLON_VM_SKIP_CODE (default 0; CTest gives 77).
# Settings: QUELLON_VM_MEMORY (default 4G), QUELLON_VM_CPUS (2), QUELLON_VM_TIMEOUT (seconds, 1500),
# QUELLON_VM_ACCEL (tcg), QUELLON_VM_KERNEL (a version in /lib/modules; default the newest with 9p),
# QUELLON_VM_SCRATCH (tmpfs: TMPDIR is the VM's tmpfs; ext4: an ext4 image loop-mounted in it).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
skip_code=${QUELLON_VM_SKIP_CODE:-0}
skip() {
    echo "skipped: $*"
    exit "$skip_code"
}

[ $# -ge 1 ] || { echo "usage: $0 PROGRAM [ARGS...]" >&2; exit 2; }
[ "$(uname -m)" = x86_64 ] || skip "the VM tier runs on x86_64 only"

packages=(qemu-system-x86 linux-image-amd64 busybox-static cpio kmod)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    [ "$(id -u)" -eq 0 ] || skip "missing ${missing[*]} (install them with: sudo apt-get install ${missing[*]})"
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >&2 ||
        skip "cannot install ${missing[*]}"
fi

# The kernel: the newest installed Debian kernel whose modules include 9p.
kver=${QUELLON_VM_KERNEL:-}
if [ -z "$kver" ]; then
    for d in $(ls -d /lib/modules/*/ 2>/dev/null | sort -V -r); do
        v=$(basename "$d")
        if [ -f "/boot/vmlinuz-$v" ] && [ -n "$(find "$d" -name '9p.ko*' -print -quit)" ]; then
            kver=$v
            break
        fi
    done
fi
[ -n "$kver" ] && [ -f "/boot/vmlinuz-$kver" ] || skip "no Debian kernel with 9p modules in /boot and /lib/modules"

work=$(mktemp -d "${TMPDIR:-/tmp}/quellon-vm-XXXXXX")
qemu_pid=
tail_pid=
cleanup() {
    [ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true
    [ -z "$tail_pid" ] || kill "$tail_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

# The initramfs: busybox, the modules that reach the 9p shares (in dependency order), and /init.
root=$work/initramfs
mkdir -p "$root"/{bin,sbin,dev,proc,sys,host,out,lib/modules}
cp /bin/busybox "$root/bin/busybox"
: >"$root/modules.order"
for m in virtio_pci 9pnet_virtio 9p; do
    modprobe -S "$kver" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r ko; do
    case "$ko" in
    *.ko.xz) xz -dc "$ko" >"$root/lib/modules/$(basename "$ko" .xz)"; ko=${ko%.xz} ;;
    *.ko.zst) zstd -qdc "$ko" >"$root/lib/modules/$(basename "$ko" .zst)"; ko=${ko%.zst} ;;
    *) cp "$ko" "$root/lib/modules/" ;;
    esac
    basename "$ko" >>"$root/modules.order"
done
cp "$here/vm-init.sh" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initrd.gz"

# What the VM runs: the program, its arguments and folder, as a script on the writable share.
out=$work/out
mkdir -p "$out"
{
    printf 'cd %q || exit 125\n' "$PWD"
    printf 'exec'
    printf ' %q' "$@"
    printf '\n'
} >"$out/command"
echo "$here/vm-stage2.sh" >"$out/stage2"
echo "${QUELLON_VM_SCRATCH:-tmpfs}" >"$out/scratch"
: >"$out/output"

accel=${QUELLON_VM_ACCEL:-tcg}
timeout_s=${QUELLON_VM_TIMEOUT:-1500}
echo "vm: Debian kernel $kver, $accel, ${QUELLON_VM_CPUS:-2} CPUs, ${QUELLON_VM_MEMORY:-4G}; running: $*"
start=$(date +%s)
tail -n +1 -f "$out/output" &
tail_pid=$!
set +e
timeout --kill-after=10 "$timeout_s" qemu-system-x86_64 \
    -nodefaults -no-user-config -display none -monitor none -no-reboot \
    -machine q35 -accel "$accel" -cpu max -smp "${QUELLON_VM_CPUS:-2}" -m "${QUELLON_VM_MEMORY:-4G}" \
    -kernel "/boot/vmlinuz-$kver" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 rdinit=/init" \
    -serial "file:$work/console.log" \
    -fsdev local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap \
    -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot \
    -fsdev local,id=out,path="$out",security_model=none \
    -device virtio-9p-pci,fsdev=out,mount_tag=out \
    </dev/null >"$work/qemu.log" 2>&1 &
qemu_pid=$!
wait "$qemu_pid"
qemu_rc=$?
qemu_pid=
set -e
sleep 0.5
kill "$tail_pid" 2>/dev/null || true
wait "$tail_pid" 2>/dev/null || true
tail_pid=
elapsed=$(($(date +%s) - start))

if [ ! -f "$out/booted" ]; then
    echo "--- qemu (exit $qemu_rc) ---"
    cat "$work/qemu.log"
    echo "--- serial console ---"
    tail -n 40 "$work/console.log" 2>/dev/null || true
    [ "$qemu_rc" -ne 124 ] || { echo "vm: timed out after ${timeout_s}s before the VM had booted" >&2; exit 1; }
    skip "the VM did not start (qemu exit $qemu_rc, see above)"
fi
if [ ! -f "$out/rc" ]; then
    echo "--- serial console (last lines) ---"
    tail -n 60 "$work/console.log" || true
    if [ "$qemu_rc" -eq 124 ]; then
        echo "vm: FAILED: timed out after ${timeout_s}s" >&2
    else
        echo "vm: FAILED: the VM stopped (qemu exit $qemu_rc) before the program ended" >&2
    fi
    exit 1
fi
rc=$(cat "$out/rc")
if grep -qE 'BUG:|Oops|WARNING: CPU|Call Trace' "$work/console.log"; then
    echo "--- the kernel warned (serial console) ---"
    grep -E -B2 -A12 'BUG:|Oops|WARNING: CPU' "$work/console.log" | head -n 80
fi
echo "vm: exit code $rc after ${elapsed}s (boot and run)"
exit "$rc"
