#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Wipe speed of quellon-wipe beside GNU shred and the raw limit of the storage, on the same files.
#
#   bench/run.sh QUELLON_WIPE [FOLDER]
#
# QUELLON_WIPE is the built harness (build/cli/quellon-wipe). FOLDER is where the test files are made
# (default: a new temporary folder next to the build, so on the same disk); the script only ever
# creates, wipes and removes files in a folder of its own inside it.
#
# Settings through the environment:
#   SIZES="64 512"   file sizes in MiB for the large-file runs
#   RUNS=3           runs of each command per size (the commands alternate)
#   SMALL=1000       number of 4 KiB files for the many-small-files run (0 to skip)
#   TOOLS="limit quellon shred"
#   VARIANT=PATH     another build of quellon-wipe, measured as tool "variant" (add it to TOOLS)
#
# The raw limit is 44 runs of `dd if=/dev/zero of=F bs=1M conv=notrunc,fdatasync` over the same
# existing file: what the storage gives for 44 synced full overwrites. Speed is file size x 44 / time.
set -euo pipefail

wipe=${1:?usage: bench/run.sh QUELLON_WIPE [FOLDER]}
wipe=$(realpath "$wipe")
parent=${2:-$(dirname "$wipe")/..}
sizes=${SIZES-64 512}
runs=${RUNS:-3}
small=${SMALL:-1000}
tools=${TOOLS:-limit quellon shred}

command -v shred >/dev/null || { echo "GNU shred (coreutils) is needed" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time is needed: apt-get install time" >&2; exit 1; }

work=$(mktemp -d "$(realpath "$parent")/quellon-bench-XXXXXX")
trap 'rm -rf -- "$work"' EXIT
results="$work/results.tsv"
: >"$results"

# Starts each measured command from the same state: the file written and on disk, caches dropped.
settle() {
    sync
    if [ -w /proc/sys/vm/drop_caches ]; then echo 3 >/proc/sys/vm/drop_caches; fi
}

make_file() { # path MiB
    dd if=/dev/urandom of="$1" bs=1M count="$2" status=none
}

# measure TOOL LABEL MiB COMMAND...: runs COMMAND under GNU time; appends tool, label, MiB, wall
# seconds, peak RSS KiB, user+sys seconds.
measure() {
    local tool=$1 label=$2 mib=$3
    shift 3
    settle
    /usr/bin/time -f '%e %M %U %S' -o "$work/time" "$@" >/dev/null 2>"$work/stderr" || {
        echo "$tool failed:" >&2
        cat "$work/stderr" >&2
        exit 1
    }
    read -r wall rss user sys <"$work/time"
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$tool" "$label" "$mib" "$wall" "$rss" \
        "$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')" >>"$results"
    printf '  %-8s %-10s %8.2f s  %7d KiB peak\n' "$tool" "$label" "$wall" "$rss"
}

limit() { # path MiB
    local i
    for i in $(seq 44); do
        dd if=/dev/zero of="$1" bs=1M count="$2" conv=notrunc,fdatasync status=none
    done
    rm -f -- "$1"
}

echo "Benchmark folder: $work ($(df -T "$work" | awk 'NR==2 { print $2 }'))"
for mib in $sizes; do
    echo "$mib MiB files, $runs runs each:"
    for run in $(seq "$runs"); do
        for tool in $tools; do
            f="$work/file-$tool"
            make_file "$f" "$mib"
            case $tool in
            limit) measure limit "${mib}MiB" "$mib" bash -c "$(declare -f limit); limit \"\$1\" \"\$2\"" _ "$f" "$mib" ;;
            quellon) measure quellon "${mib}MiB" "$mib" "$wipe" "$f" ;;
            variant) measure variant "${mib}MiB" "$mib" "$VARIANT" "$f" ;;
            shred) measure shred "${mib}MiB" "$mib" shred -n 44 -u "$f" ;;
            esac
            [ ! -e "$f" ] || { echo "$tool left $f behind" >&2; exit 1; }
        done
    done
done

if [ "$small" -gt 0 ]; then
    echo "$small files of 4 KiB, $runs runs each:"
    for run in $(seq "$runs"); do
        for tool in $tools; do
            [ "$tool" = limit ] && continue
            mkdir "$work/small"
            for i in $(seq "$small"); do head -c 4096 /dev/urandom >"$work/small/$i"; done
            case $tool in
            quellon) measure quellon "${small}x4KiB" 0 "$wipe" "$work"/small/* ;;
            variant) measure variant "${small}x4KiB" 0 "$VARIANT" "$work"/small/* ;;
            shred) measure shred "${small}x4KiB" 0 shred -n 44 -u "$work"/small/* ;;
            esac
            rmdir "$work/small" || { echo "$tool left files behind" >&2; exit 1; }
        done
    done
fi

# The table: median, min and max of the runs; speed is MiB x 44 / seconds for the large files,
# milliseconds per file for the small ones.
echo
awk -F'\t' -v small="$small" '
function median(list, n,    a, i, j, t) {
    split(list, a, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] + 0 < a[i] + 0) { t = a[i]; a[i] = a[j]; a[j] = t }
    lo = a[1]; hi = a[n]
    return (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
}
{
    key = $2 SUBSEP $1
    times[key] = times[key] " " $4; n[key]++; mib[$2] = $3
    if ($5 > rss[key]) rss[key] = $5
    cpu[key] = cpu[key] " " $6
    if (!(($2) in seen)) { seen[$2] = 1; labels[++nl] = $2 }
    if (!(($1) in seentool)) { seentool[$1] = 1; tools[++nt] = $1 }
}
END {
    print "| files | command | median | min | max | speed (median) | peak RSS | CPU (median) |"
    print "|---|---|---|---|---|---|---|---|"
    for (l = 1; l <= nl; l++) {
        label = labels[l]
        for (t = 1; t <= nt; t++) {
            key = label SUBSEP tools[t]
            if (!(key in n)) continue
            m = median(times[key], n[key]); mn = lo; mx = hi
            c = median(cpu[key], n[key])
            med[key] = m
            if (mib[label] > 0) speed = sprintf("%.0f MiB/s", mib[label] * 44 / m)
            else speed = sprintf("%.2f ms/file", m * 1000 / small)
            printf "| %s | %s | %.2f s | %.2f s | %.2f s | %s | %.1f MiB | %.2f s |\n", label, tools[t], m, mn, mx, speed, rss[key] / 1024, c
        }
    }
    print ""
    for (l = 1; l <= nl; l++) {
        label = labels[l]
        q = label SUBSEP "quellon"; s = label SUBSEP "shred"; d = label SUBSEP "limit"
        if ((q in med) && (d in med)) printf "%s: quellon reaches %.2f x the raw limit\n", label, med[d] / med[q]
        if ((q in med) && (s in med)) printf "%s: quellon is %.2f x as fast as shred\n", label, med[s] / med[q]
    }
}' "$results"
