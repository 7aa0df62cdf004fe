#!/usr/bin/env bash
# Tavro2D: ./tavro.sh run | test | bench [benchmark options] | fuzz
# Installs the missing Debian packages, configures, builds, then runs.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-svg-dev qt6-image-formats-plugins libtiff-dev libpng-dev
          libthrust-dev libcub-dev libgtest-dev libgmock-dev libbenchmark-dev ccache fonts-dejavu-core xvfb xauth
          libdw-dev)
# Only the fuzz stage of CI needs these.
FUZZ_PACKAGES=(clang-14 libfuzzer-14-dev)

install_missing() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

configure() {
    local preset=$1; shift
    local extra=()
    [ "${CI:-}" = "true" ] && extra+=(-DTAVRO_WERROR=ON)
    cmake --preset "$preset" "${extra[@]}" "$@" >/dev/null
}

jobs() { nproc 2>/dev/null || echo 2; }

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
run)
    install_missing
    configure release
    cmake --build --preset release --target Tavro2D
    exec ./build/release/src/app/Tavro2D "$@"
    ;;
test)
    install_missing
    configure default
    cmake --build --preset default
    ctest --preset default -j "$(jobs)" "$@"
    ;;
bench)
    install_missing
    configure release
    cmake --build --preset release --target tavro_bench
    exec ./build/release/bench/tavro_bench "$@"
    ;;
fuzz)
    PACKAGES+=("${FUZZ_PACKAGES[@]}")
    install_missing
    configure fuzz
    cmake --build --preset fuzz --target fuzz_run
    ;;
*)
    echo "usage: $0 run | test | bench [options] | fuzz" >&2
    exit 2
    ;;
esac
