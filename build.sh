#!/usr/bin/env bash
# Skyvane's one entry point for building, testing and running on Debian 12.
#   ./build.sh test    install what is missing, build, run every test (also under ASan/UBSan)
#   ./build.sh run     install what is missing, build, make the sample frames, start skyvane
#   ./build.sh build   install what is missing and build into build/
#   ./build.sh bench   build and run the benchmarks
#   ./build.sh fuzz    build the libFuzzer targets with clang into build-fuzz/
#   ./build.sh package build the Debian package build-package/skyvane_VERSION_amd64.deb
set -euo pipefail
cd "$(dirname "$0")"

JOBS=${JOBS:-$(nproc)}
PACKAGES=(cmake g++ make pkg-config libcfitsio-dev zlib1g-dev wcslib-dev libfftw3-dev libpng-dev libjpeg62-turbo-dev libtiff-dev
          libgtest-dev libbenchmark-dev qt6-base-dev
          librsvg2-bin desktop-file-utils appstream man-db shared-mime-info)

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

# The package is built like a Debian package: Debian's hardening flags, installed under /usr,
# stripped, its dependencies read from the binaries by dpkg-shlibdeps (which needs file).
cmd_package() {
    install_packages "${PACKAGES[@]}" dpkg-dev file
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    if [ -z "${SOURCE_DATE_EPOCH:-}" ] && git rev-parse --git-dir >/dev/null 2>&1; then
        SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
        export SOURCE_DATE_EPOCH
    fi
    configure_and_build build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DSKYVANE_TESTS=OFF -DSKYVANE_BENCH=OFF \
        -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
        -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
    rm -f build-package/skyvane_*.deb
    (cd build-package && cpack -G DEB)
}

case "${1:-test}" in
    test) cmd_test ;;
    run) cmd_run ;;
    build) build_release ;;
    bench) shift; cmd_bench "$@" ;;
    fuzz) cmd_fuzz ;;
    package) cmd_package ;;
    *) echo "usage: $0 {test|run|build|bench|fuzz|package}" >&2; exit 2 ;;
esac
