#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Device faults switched on mid-wipe, one row each, as root on a kernel with device-mapper's flakey
# target (the VM tier runs it on Debian's own kernel:
# tests/vm/run-in-vm.sh tests/vm/fault-rows.sh build/cli/quellon-wipe).
#
#   fault-rows.sh QUELLON_WIPE
#
# Each row: ext4 on a device-mapper device over a loop image in TMPDIR, a 4 MiB file of unique
# markers, flushed; the wipe starts, and as pass 3 begins the device's table is reloaded with
# dm-flakey set to the row's fault for good. Afterwards the device is put back, unmounted, and the
# markers on the raw image are counted. A row passes when the wipe did not claim success with data
# left: either it exits non-zero with the file kept (its report names what happened), or it exits 0
# with the file gone and none of its markers on the image. Prints one line per row, then
# "fault rows: N passed, N failed"; exits 1 if any row failed.
set -uo pipefail

wipe=$(realpath "${1:?usage: fault-rows.sh QUELLON_WIPE}")
# No udev in the VM: device-mapper makes its /dev/mapper nodes itself.
export DM_DISABLE_UDEV=1

# name           dm-flakey features (after "<up> <down>")
rows=$(
    cat <<'EOF'
writes_dropped   1:drop_writes
writes_failing   1:error_writes
bytes_corrupted  5:corrupt_bio_byte:1:w:0:0
EOF
)

passed=0 failed=0
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quellon-faults-XXXXXX")
trap 'umount -q "$scratch"/mnt 2>/dev/null; dmsetup remove -f quellon-fault 2>/dev/null; rm -rf "$scratch"' EXIT
seq -f 'QLNWIPE-%08g' 0 262143 | tr -d '\n' >"$scratch/secret"

row() { # NAME FEATURES; sets detail, returns 0 pass, 1 fail
    local name=$1 features=${2//:/ } img=$scratch/image mnt=$scratch/mnt loop sectors rc found kept
    mkdir -p "$mnt"
    dmsetup remove quellon-fault 2>/dev/null
    truncate -s 64M "$img"
    loop=$(losetup -f --show "$img") || { detail="no loop device"; return 1; }
    sectors=$(blockdev --getsz "$loop")
    dmsetup create quellon-fault --table "0 $sectors linear $loop 0" ||
        { detail="cannot create the device-mapper device"; losetup -d "$loop"; return 1; }
    mkfs.ext4 -q -F /dev/mapper/quellon-fault && mount /dev/mapper/quellon-fault "$mnt" ||
        { detail="cannot make or mount ext4"; return 1; }
    cp "$scratch/secret" "$mnt/secret.txt" && sync

    timeout 600 "$wipe" --progress "$mnt/secret.txt" 2>"$scratch/$name.log" &
    local pid=$! switched=no
    for _ in $(seq 1 3000); do
        if grep -q 'pass 3 of' "$scratch/$name.log" 2>/dev/null; then
            dmsetup suspend --nolockfs quellon-fault &&
                dmsetup load quellon-fault --table "0 $sectors flakey $loop 0 0 3600 $features" && switched=yes
            dmsetup resume quellon-fault
            break
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.01
    done
    wait "$pid"
    rc=$?
    local reason
    reason=$(grep -m1 '^Error description: ' "$scratch/$name.log" | cut -c 20-)
    kept=no
    [ -e "$mnt/secret.txt" ] && kept=yes
    # Back to the plain mapping, so that what reaches the image from here on is stored.
    dmsetup suspend --nolockfs quellon-fault && dmsetup load quellon-fault --table "0 $sectors linear $loop 0" &&
        dmsetup resume quellon-fault
    umount "$mnt" 2>/dev/null || umount -l "$mnt"
    dmsetup remove quellon-fault
    losetup -d "$loop"
    found=$(LC_ALL=C grep -a -o 'QLNWIPE-[0-9]\{8\}' "$img" | wc -l)
    rm -f "$img"
    detail="fault on at pass 3: $switched, exit $rc, file kept: $kept, $found markers on the image${reason:+; report: $reason}"
    [ $switched = yes ] || return 1
    if [ $rc -eq 0 ]; then
        [ $kept = no ] && [ "$found" -eq 0 ]
    else
        [ $kept = yes ]
    fi
}

echo "fault rows on $(uname -sr), wiping with $wipe"
while read -r name features; do
    detail=
    start=$(date +%s)
    if row "$name" "$features"; then
        verdict=PASS passed=$((passed + 1))
    else
        verdict=FAIL failed=$((failed + 1))
    fi
    printf '%-4s %-16s %s (%ss)\n' "$verdict" "$name" "$detail" "$(($(date +%s) - start))"
done <<<"$rows"
echo "fault rows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
