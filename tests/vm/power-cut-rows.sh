#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Power cuts during a wipe, one row per file system, as root on a kernel with device-mapper's
# log-writes target (the VM tier runs it on Debian's own kernel:
# tests/vm/run-in-vm.sh tests/vm/power-cut-rows.sh build/cli/quellon-wipe).
#
#   power-cut-rows.sh [--no-skip] QUELLON_WIPE [ROW...]
#
# Each row: a zeroed image under dm-log-writes, which logs every write and flush that reaches it,
# from the mkfs on. A 64 KiB file of unique markers is written and synced (mark "ready"), wiped by
# QUELLON_WIPE, and its return is marked ("done"). replay-log.py then replays the log onto a
# zeroed copy, one stretch at a time, and stops at "ready" and at every flush and FUA after it:
# what the device is sure to hold if the power fails there. At each point the copy is searched
# for the file's markers, then mounted (the journal is replayed) and its folder looked at.
# A point passes when the file is under its name while any of its markers is on the device, and
# at the last point before "done" (what was on the device when the wipe reported success) and at
# "done" the file is gone with none of its markers left. Prints one line per point, one per row,
# then "power-cut rows: N passed, N failed, N skipped"; exits 1 if any row failed. A row skips
# where the kernel has no log-writes target or no driver for its file system, or the mkfs tool is
# missing; with --no-skip (the VM tier) that fails it.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
no_skip=false
[ "${1:-}" = --no-skip ] && { no_skip=true; shift; }
wipe=$(realpath "${1:?usage: power-cut-rows.sh QUELLON_WIPE [ROW...]}")
shift
only=("$@")
# No udev in the VM: device-mapper makes its /dev/mapper nodes itself.
export DM_DISABLE_UDEV=1

# name          MiB  mkfs, ":" for spaces (the device is appended)                                        type  options
rows=$(
    cat <<'EOF'
ext4_ordered    32   mkfs.ext4:-q:-F:-b:4096:-E:nodiscard,lazy_itable_init=0,lazy_journal_init=0  ext4  data=ordered
ext4_writeback  32   mkfs.ext4:-q:-F:-b:4096:-E:nodiscard,lazy_itable_init=0,lazy_journal_init=0  ext4  data=writeback
xfs             300  mkfs.xfs:-q:-f:-K                                                  xfs   defaults
EOF
)

passed=0 failed=0 skipped=0
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quellon-pcut-XXXXXX")
trap 'umount -q "$scratch"/*/mnt 2>/dev/null; dmsetup remove -f quellon-pcut 2>/dev/null; rm -rf "$scratch"' EXIT
seq -f 'QLNPCUT-%08g' 0 4095 | tr -d '\n' >"$scratch/secret"

row() { # NAME MIB MKFS TYPE OPTIONS; sets detail, returns 0 pass, 1 fail, 2 skip
    local name=$1 mib=$2 mkfs=${3//:/ } type=$4 opts=$5 dir=$scratch/$1 data log rc dev=/dev/mapper/quellon-pcut
    [ "$(id -u)" -eq 0 ] || { detail="needs root"; return 2; }
    command -v "${mkfs%% *}" >/dev/null && command -v dmsetup >/dev/null ||
        { detail="${mkfs%% *} or dmsetup is not installed"; return 2; }
    modprobe -q dm_log_writes 2>/dev/null
    dmsetup targets 2>/dev/null | grep -q '^log-writes ' || { detail="this kernel has no log-writes target"; return 2; }
    grep -qw "$type" /proc/filesystems || modprobe -q "$type" 2>/dev/null ||
        { detail="this kernel has no $type driver"; return 2; }
    mkdir -p "$dir/mnt"
    truncate -s "${mib}M" "$dir/image"
    truncate -s 256M "$dir/log"
    data=$(losetup -f --show "$dir/image") && log=$(losetup -f --show "$dir/log") ||
        { detail="no loop device"; return 1; }
    dmsetup create quellon-pcut --table "0 $(blockdev --getsz "$data") log-writes $data $log" ||
        { detail="cannot create the log-writes device"; return 1; }
    $mkfs "$dev" >"$dir/mkfs.log" 2>&1 && mount -t "$type" -o "$opts" "$dev" "$dir/mnt" ||
        { detail="cannot make or mount $type: $(tail -n 1 "$dir/mkfs.log")"; return 1; }
    cp "$scratch/secret" "$dir/mnt/secret.txt" && sync
    dmsetup message quellon-pcut 0 mark ready
    "$wipe" "$dir/mnt/secret.txt" 2>"$dir/wipe.log"
    rc=$?
    dmsetup message quellon-pcut 0 mark done
    umount "$dir/mnt"
    dmsetup remove quellon-pcut
    losetup -d "$data"
    losetup -d "$log"
    [ $rc -eq 0 ] || { detail="the wipe failed (exit $rc): $(grep -m1 '^Error description: ' "$dir/wipe.log")"; return 1; }

    local points
    python3 "$here/replay-log.py" "$dir/log" --size $((mib << 20)) --after-mark ready --until-mark done \
        --type "$type" --options "$opts" --mount "$dir/mnt" --snapshot "$dir/snapshot" --secret "$scratch/secret" \
        --name secret.txt --prefix QLNPCUT- | tee "$dir/points"
    rc=${PIPESTATUS[0]}
    points=$(grep -c '^[A-Z]* point ' "$dir/points")
    detail="wipe exit 0; $points points checked, $(grep -c '^FAIL point ' "$dir/points") failed"
    rm -f "$dir/image" "$dir/log" "$dir/snapshot"
    [ "$rc" -eq 0 ] && [ "$points" -gt 2 ]
}

echo "power-cut rows on $(uname -sr), wiping with $wipe"
while read -r name mib mkfs type opts; do
    if [ ${#only[@]} -gt 0 ] && [[ " ${only[*]} " != *" $name "* ]]; then
        continue
    fi
    detail=
    start=$(date +%s)
    row "$name" "$mib" "$mkfs" "$type" "$opts"
    case $? in
    0) verdict=PASS passed=$((passed + 1)) ;;
    2) if $no_skip; then verdict=FAIL failed=$((failed + 1)); else verdict=SKIP skipped=$((skipped + 1)); fi ;;
    *) verdict=FAIL failed=$((failed + 1)) ;;
    esac
    printf '%-4s %-15s %s (%ss)\n' "$verdict" "$name" "$detail" "$(($(date +%s) - start))"
done <<<"$rows"
echo "power-cut rows: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
