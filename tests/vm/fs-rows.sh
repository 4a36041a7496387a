#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# One row per file system, run as root on the kernel it should prove (the VM tier runs it on Debian's
# own kernel: tests/vm/run-in-vm.sh tests/vm/fs-rows.sh build/cli/quellon-wipe).
#
#   fs-rows.sh [--no-skip] QUELLON_WIPE [ROW...]
#
# Each row makes an image in TMPDIR, mounts it through a loop device, writes a 1 MiB file of unique
# markers and a control file of other markers, flushes, wipes the file with QUELLON_WIPE, removes
# the control with a plain rm, unmounts and counts the markers on the raw image.
#   wiped:   exit 0, the file gone, 0 of its markers on the image, the control's markers found
#   refused: exit non-zero, the file byte for byte as written, all its markers still on the image
# tmpfs has no device to search: its row checks exit 0 and the file gone. Prints one line per row,
# then "fs rows: N passed, N failed, N skipped"; exits 1 if any row failed. A row skips where the
# kernel has no driver or the mkfs tool is missing; with --no-skip (the VM tier) that fails it.
set -uo pipefail

no_skip=false
[ "${1:-}" = --no-skip ] && { no_skip=true; shift; }
wipe=$(realpath "${1:?usage: fs-rows.sh QUELLON_WIPE [ROW...]}")
shift
only=("$@")

# name          expect   MiB  mkfs (the image is appended)         mount type  mount options
rows=$(
    cat <<'EOF'
vfat            wiped    64   mkfs.vfat                             vfat        -
exfat           wiped    64   mkfs.exfat                            exfat       -
ext2            wiped    64   mkfs.ext2_-q_-F                       ext2        -
ext3            wiped    64   mkfs.ext3_-q_-F                       ext3        -
ext4_ordered    wiped    64   mkfs.ext4_-q_-F                       ext4        data=ordered
ext4_writeback  wiped    64   mkfs.ext4_-q_-F                       ext4        data=writeback
xfs             wiped    300  mkfs.xfs_-q_-f                        xfs         -
tmpfs           wiped    64   -                                     tmpfs       size=64m
ext4_journal    refused  64   mkfs.ext4_-q_-F                       ext4        data=journal
btrfs           refused  128  mkfs.btrfs_-q_-f                      btrfs       -
f2fs            refused  128  mkfs.f2fs_-q_-f                       f2fs        -
nilfs2          refused  192  mkfs.nilfs2_-q_-f                     nilfs2      -
ntfs-3g         refused  64   mkfs.ntfs_-Q_-q_-F                    ntfs-3g     -
EOF
)

markers() { # PREFIX: 65536 markers of 16 bytes, PREFIX (8 characters) and an 8-digit number
    seq -f "$1%08g" 0 65535 | tr -d '\n'
}
count() { # PREFIX FILE: how many markers of PREFIX are in FILE
    LC_ALL=C grep -a -o "$1[0-9]\{8\}" "$2" | wc -l
}

passed=0 failed=0 skipped=0
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quellon-rows-XXXXXX")
trap 'umount -q "$scratch"/*/mnt 2>/dev/null; rm -rf "$scratch"' EXIT
markers QLNWIPE- >"$scratch/secret"
markers QLNCTRL- >"$scratch/control"

row() { # NAME EXPECT MIB MKFS TYPE OPTIONS; prints "detail" and returns 0 pass, 1 fail, 2 skip
    local name=$1 expect=$2 mib=$3 mkfs=${4//_/ } type=$5 opts=$6
    local dir=$scratch/$name img=$scratch/$name/image mnt=$scratch/$name/mnt dev= rc found ctrl
    mkdir -p "$mnt"
    [ "$opts" = - ] && opts=
    if [ "$type" = tmpfs ]; then
        mount -t tmpfs -o "$opts" tmpfs "$mnt" || { detail="cannot mount tmpfs"; return 1; }
    else
        command -v "${mkfs%% *}" >/dev/null || { detail="${mkfs%% *} is not installed"; return 2; }
        local driver=$type
        [ "$type" = ntfs-3g ] && driver=fuse
        grep -qw "$driver" /proc/filesystems || modprobe -q "$driver" 2>/dev/null ||
            { detail="this kernel has no $driver driver"; return 2; }
        truncate -s "${mib}M" "$img"
        $mkfs "$img" >"$dir/mkfs.log" 2>&1 || { detail="'$mkfs' failed: $(tail -n 2 "$dir/mkfs.log")"; return 1; }
        dev=$(losetup -f --show "$img") || { detail="no loop device"; return 1; }
        mount -t "$type" ${opts:+-o "$opts"} "$dev" "$mnt" 2>"$dir/mount.log" ||
            { detail="cannot mount $type: $(head -n 1 "$dir/mount.log")"; losetup -d "$dev"; return 1; }
    fi
    cp "$scratch/secret" "$mnt/secret.txt" && cp "$scratch/control" "$mnt/control.txt" && sync
    "$wipe" "$mnt/secret.txt" 2>"$dir/wipe.log"
    rc=$?
    local reason
    reason=$(grep -m1 '^Error description: ' "$dir/wipe.log" | cut -c 20-)
    local whole=no
    [ -f "$mnt/secret.txt" ] && cmp -s "$scratch/secret" "$mnt/secret.txt" && whole=yes
    local gone=no
    [ -e "$mnt/secret.txt" ] || gone=yes
    rm -f "$mnt/control.txt"
    if [ "$type" = tmpfs ]; then
        umount "$mnt"
        detail="exit $rc, file gone: $gone (no device to search)${reason:+; report: $reason}"
        [ "$expect" = wiped ] && [ $rc -eq 0 ] && [ $gone = yes ]
        return $?
    fi
    umount "$mnt" || { detail="cannot unmount"; return 1; }
    losetup -d "$dev"
    found=$(count QLNWIPE- "$img")
    ctrl=$(count QLNCTRL- "$img")
    rm -f "$img"
    if [ "$expect" = wiped ]; then
        detail="exit $rc, file gone: $gone, $found markers left, $ctrl control markers found${reason:+; report: $reason}"
        [ $rc -eq 0 ] && [ $gone = yes ] && [ "$found" -eq 0 ] && [ "$ctrl" -gt 0 ]
    else
        detail="exit $rc, file untouched: $whole, $found of 65536 markers on the image${reason:+; report: $reason}"
        [ $rc -ne 0 ] && [ $whole = yes ] && [ "$found" -ge 65536 ]
    fi
}

echo "fs rows on $(uname -sr), wiping with $wipe"
while read -r name expect mib mkfs type opts; do
    if [ ${#only[@]} -gt 0 ] && [[ " ${only[*]} " != *" $name "* ]]; then
        continue
    fi
    detail=
    start=$(date +%s)
    row "$name" "$expect" "$mib" "$mkfs" "$type" "$opts"
    case $? in
    0) verdict=PASS; passed=$((passed + 1)) ;;
    2) if $no_skip; then verdict=FAIL; failed=$((failed + 1)); else verdict=SKIP; skipped=$((skipped + 1)); fi ;;
    *) verdict=FAIL; failed=$((failed + 1)) ;;
    esac
    printf '%-4s %-15s %-8s %s (%ss)\n' "$verdict" "$name" "$expect" "$detail" "$(($(date +%s) - start))"
done <<<"$rows"
echo "fs rows: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
