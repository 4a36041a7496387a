#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# One entry point for developers and CI.
#   ./dev.sh run      build the program and start Quellon
#   ./dev.sh test     build everything, the tests too, and run every test
#   ./dev.sh package  build the Debian package quellon_VERSION_amd64.deb next to this script, the
#                     same bytes from every build of one commit, whatever the umask and the build
#                     folder (SOURCE_DATE_EPOCH: the commit's time)
#   ./dev.sh bench    build and run the speed benchmark (see "Speed" in README.md)
#   ./dev.sh vm       build the tests and run the VM tier (tests/vm/): Debian's own kernel under qemu
#   ./dev.sh mutants [--changed REV] [FILE...]
#                     switch off each guard of the engine's safety core in turn and list those that
#                     no engine or recovery test misses (tests/mutants/run.sh)
# Only `test` needs GoogleTest. On Debian 12, missing packages are installed with apt when run as root.
# QUELLON_WERROR=ON turns warnings into errors; BUILD_DIR picks the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")"
# Everything built and packaged gets the modes the build gives it, whatever the caller's umask (with
# 002 the package's folders would be group-writable).
umask 022

# libxcb1-dev: the window reads the window manager's close requests from the X11 connection.
build_packages=(cmake g++ make pkg-config qt6-base-dev libxcb1-dev)
test_packages=(libgtest-dev libgmock-dev e2fsprogs btrfs-progs xfsprogs util-linux coreutils time)
# dpkg-shlibdeps (in dpkg-dev) reads the package's dependencies from the binary; it needs `file`.
package_packages=(dpkg-dev file)
bench_packages=(coreutils time)
# The VM tier: qemu, Debian's kernel, the initramfs' busybox, and the mkfs tools of its rows.
vm_packages=(qemu-system-x86 linux-image-amd64 busybox-static cpio kmod dosfstools exfatprogs f2fs-tools
    nilfs-tools ntfs-3g fuse3 dmsetup python3)

install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]}" >&2
        echo "Install them with: sudo apt-get install ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Reproducible builds: every time stamp that goes into the package (files, archive members) is the
# time of the commit built, so two builds of one commit make the same bytes.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || date +%s)
fi
export SOURCE_DATE_EPOCH

# Installed-Size as Debian counts it (each file rounded up to whole KiB, 1 KiB for each folder or
# link), written into the package $1: CPack adds up the sizes the build's file system gives the
# folders (4 KiB each on ext4, less on tmpfs), so the number would change with the build folder.
set_installed_size() {
    local root size
    root=$(mktemp -d)
    chmod 755 "$root"
    dpkg-deb -R "$1" "$root"
    size=$(cd "$root" && find . -mindepth 1 -path ./DEBIAN -prune -o -printf '%y %s\n' |
        awk '$1 == "f" { kib += int(($2 + 1023) / 1024); next } { kib += 1 } END { print kib }')
    sed -i "s/^Installed-Size: .*/Installed-Size: $size/" "$root/DEBIAN/control"
    find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    dpkg-deb --root-owner-group -Zgzip --build "$root" "$1" >/dev/null
    rm -rf "$root"
}

# build ON|OFF [ON|OFF]: configures and builds, with or without the tests (and the VM tier's).
build() {
    local dir=${BUILD_DIR:-build}
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLON_WERROR="${QUELLON_WERROR:-OFF}" \
        -DBUILD_TESTING="$1" -DQUELLON_VM_TESTS="${2:-OFF}"
    cmake --build "$dir" -j"$(nproc)"
}

case "${1:-}" in
run)
    install_missing "${build_packages[@]}"
    build OFF
    exec "${BUILD_DIR:-build}/app/quellon"
    ;;
test)
    install_missing "${build_packages[@]}" "${test_packages[@]}"
    build ON
    cd "${BUILD_DIR:-build}"
    ctest --output-on-failure
    ;;
package)
    install_missing "${build_packages[@]}" "${package_packages[@]}"
    build OFF
    dir=${BUILD_DIR:-build}
    rm -f "$dir"/quellon_*.deb
    (cd "$dir" && cpack -G DEB)
    for deb in "$dir"/quellon_*.deb; do
        set_installed_size "$deb"
        mv -f "$deb" .
        echo "Built ${deb##*/}; install it with: sudo apt install ./${deb##*/}"
    done
    ;;
mutants)
    install_missing "${build_packages[@]}" "${test_packages[@]}" python3
    shift
    exec tests/mutants/run.sh "$@"
    ;;
vm)
    install_missing "${build_packages[@]}" "${test_packages[@]}" "${vm_packages[@]}"
    build ON ON
    cd "${BUILD_DIR:-build}"
    start=$(date +%s)
    status=0
    ctest -L vm --verbose || status=$?
    echo "VM tier: $(($(date +%s) - start)) s"
    exit "$status"
    ;;
bench)
    install_missing "${build_packages[@]}" "${bench_packages[@]}"
    build OFF
    shift
    exec bench/run.sh "${BUILD_DIR:-build}/cli/quellon-wipe" "$@"
    ;;
*)
    echo "usage: ./dev.sh run | test | package | bench [FOLDER] | vm | mutants [--changed REV] [FILE...]" >&2
    exit 2
    ;;
esac
