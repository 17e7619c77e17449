#!/usr/bin/env bash
# Skyvane's one entry point for building, testing and running on Debian 12.
#   ./build.sh test    install what is missing, build, run every test (also under ASan/UBSan)
#   ./build.sh run     install what is missing, build, make the sample frames, start skyvane
#   ./build.sh build   install what is missing and build into build/
#   ./build.sh bench   build and run the benchmarks
#   ./build.sh fuzz    build the libFuzzer targets with clang into build-fuzz/
set -euo pipefail
cd "$(dirname "$0")"

JOBS=${JOBS:-$(nproc)}
PACKAGES=(cmake g++ make pkg-config libcfitsio-dev libgtest-dev libbenchmark-dev qt6-base-dev)

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        as_root apt-get update
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
    fi
}

configure_and_build() { # folder, cmake options...
    local dir=$1; shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

# The number tests check that a German locale (decimal comma) changes nothing.
ensure_test_locale() {
    if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
        install_packages locales
        as_root localedef -i de_DE -f UTF-8 de_DE.UTF-8
    fi
}

build_release() {
    install_packages "${PACKAGES[@]}"
    configure_and_build build -DCMAKE_BUILD_TYPE=Release
}

cmd_test() {
    build_release
    ensure_test_locale
    configure_and_build build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKYVANE_SANITIZE=ON -DSKYVANE_BENCH=OFF
    export QT_QPA_PLATFORM=offscreen
    ctest --test-dir build --output-on-failure -j "$JOBS"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build-asan --output-on-failure -j "$JOBS"
}

cmd_run() {
    build_release
    ./build/skyvane-sample build/sample
    exec ./build/skyvane "$PWD/build/sample/star_01.fit"
}

cmd_bench() {
    build_release
    for b in build/bench/*_bench; do "$b" "$@"; done
}

cmd_fuzz() {
    install_packages "${PACKAGES[@]}" clang libclang-rt-14-dev
    configure_and_build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
        -DSKYVANE_FUZZ=ON -DSKYVANE_GUI=OFF -DSKYVANE_TESTS=OFF -DSKYVANE_BENCH=OFF
}

case "${1:-test}" in
    test) cmd_test ;;
    run) cmd_run ;;
    build) build_release ;;
    bench) shift; cmd_bench "$@" ;;
    fuzz) cmd_fuzz ;;
    *) echo "usage: $0 {test|run|build|bench|fuzz}" >&2; exit 2 ;;
esac
