#!/usr/bin/env bash
# One entry point for developers and CI.
#   ./dev.sh run    build everything and start Quellon
#   ./dev.sh test   build everything and run every test
#   ./dev.sh bench  build and run the speed benchmark (see bench/README.md)
# On Debian 12, missing packages are installed with apt when run as root.
# QUELLON_WERROR=ON turns warnings into errors; BUILD_DIR picks the build folder (default: build).
set -euo pipefail
cd "$(dirname "$0")"

packages=(cmake g++ make pkg-config libgtest-dev libgmock-dev qt6-base-dev
          e2fsprogs btrfs-progs xfsprogs util-linux coreutils time)

install_missing() {
    local missing=() p
    for p in "${packages[@]}"; do
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

build() {
    local dir=${BUILD_DIR:-build}
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUELLON_WERROR="${QUELLON_WERROR:-OFF}"
    cmake --build "$dir" -j"$(nproc)"
}

case "${1:-}" in
run)
    install_missing
    build
    exec "${BUILD_DIR:-build}/app/quellon"
    ;;
test)
    install_missing
    build
    cd "${BUILD_DIR:-build}"
    ctest --output-on-failure
    ;;
bench)
    install_missing
    build
    shift
    exec bench/run.sh "${BUILD_DIR:-build}/cli/quellon-wipe" "$@"
    ;;
*)
    echo "usage: ./dev.sh run | test | bench [FOLDER]" >&2
    exit 2
    ;;
esac
