#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Switches off each guard of the wipe's safety core in turn (tests/mutants/guards.py says how),
# rebuilds, runs the engine and recovery tests, and lists the guards that no test missed: the
# survivors. A survivor named in tests/mutants/allowed.txt (with why) is listed apart.
#
#   tests/mutants/run.sh [--changed REV] [FILE...]
#
# FILEs default to the safety core. With --changed REV only the guards on lines changed since REV
# are tried. Works on a copy of the tree in a folder of its own, so the tree itself is never
# touched. The exit status is 1 when an unlisted guard survives.
set -euo pipefail
cd "$(dirname "$0")/../.."
top=$PWD

changed=""
if [ "${1:-}" = "--changed" ]; then
    changed=${2:?--changed needs a revision}
    shift 2
fi
files=("$@")
[ ${#files[@]} -gt 0 ] || files=(engine/FileRipper.cpp engine/HeldFile.cpp engine/Refusals.cpp engine/Watch.cpp
    engine/ReadBack.cpp engine/PassWriter.cpp engine/BlockMap.cpp engine/StorageCheck.cpp engine/EndingSignals.cpp)
existing=()
for f in "${files[@]}"; do [ -f "$f" ] && existing+=("$f"); done
files=("${existing[@]}")

# The files as they are now, kept apart: the tree may change while the mutants run.
work=$(mktemp -d "${TMPDIR:-/tmp}/quellon-mutants-XXXXXX")
trap 'rm -rf -- "$work"' EXIT
git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$work"
mkdir -p "$work/.pristine"
for f in "${files[@]}"; do
    mkdir -p "$work/.pristine/$(dirname "$f")"
    cp "$f" "$work/.pristine/$f"
done

mapfile -t guards < <(cd "$work/.pristine" && python3 "$top/tests/mutants/guards.py" list "${files[@]}")
if [ -n "$changed" ]; then
    # Only the lines that differ from REV.
    mapfile -t guards < <(for g in "${guards[@]}"; do
        file=${g%%:*}; rest=${g#*:}; line=${rest%%:*}
        git diff -U0 "$changed" -- "$file" | grep -E '^@@' | sed -E 's/^@@ -[0-9,]+ \+([0-9]+)(,([0-9]+))? @@.*/\1 \3/' |
            while read -r start count; do
                count=${count:-1}
                if [ "$line" -ge "$start" ] && [ "$line" -lt $((start + count)) ]; then echo "$g"; fi
            done
    done | sort -u)
fi
echo "guards to try: ${#guards[@]}"
[ ${#guards[@]} -gt 0 ] || exit 0

build="$work/build"
cmake -S "$work" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON >/dev/null
targets=(--target engine_tests --target recovery_tests --target quellon-wipe)
cmake --build "$build" -j"$(nproc)" "${targets[@]}" >/dev/null

allowed() { # FILE TEXT: whether the guard is allow-listed
    grep -v '^#' tests/mutants/allowed.txt 2>/dev/null | sed -E 's/[[:space:]]+#.*$//' | grep -qxF "$1: $2"
}

killed=0 survived=0 listed=0 broken=0
survivors=""
for g in "${guards[@]}"; do
    file=${g%%:*}; rest=${g#*:}; line=${rest%%:*}; text=${rest#*: }
    cp "$work/.pristine/$file" "$work/$file"
    python3 tests/mutants/guards.py apply "$work/$file" "$line"
    if ! cmake --build "$build" -j"$(nproc)" "${targets[@]}" >/dev/null 2>&1; then
        broken=$((broken + 1))
        echo "does not build: $g"
    elif ! (cd "$build" && timeout 600 tests/engine/engine_tests --gtest_fail_fast --gtest_brief=1 &&
        timeout 900 tests/engine/recovery_tests --gtest_fail_fast --gtest_brief=1) >/dev/null 2>&1; then
        killed=$((killed + 1))
    elif allowed "$file" "$text"; then
        listed=$((listed + 1))
        echo "survives (listed): $g"
    else
        survived=$((survived + 1))
        survivors+="  $g"$'\n'
        echo "SURVIVES: $g"
    fi
    cp "$work/.pristine/$file" "$work/$file"
done
echo "mutants: ${#guards[@]}, killed $killed, survived $survived unlisted, $listed listed, $broken not built"
[ -z "$survivors" ] || printf 'unlisted survivors:\n%s' "$survivors"
[ "$survived" -eq 0 ]
