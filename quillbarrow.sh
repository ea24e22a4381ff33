#!/usr/bin/env bash
# Quillbarrow's one entry point for setting up, building, running and testing.
#
#   ./quillbarrow.sh run     install what the program needs, build it, start it
#   ./quillbarrow.sh test    install what the tests need, build, run every test
#   ./quillbarrow.sh build   build only
#   ./quillbarrow.sh package build the Debian package build/quillbarrow_<version>_<arch>.deb
#   ./quillbarrow.sh deps    install the Debian packages only (as root)
#
# Environment: BUILD_DIR (default ./build), CTEST_ARGS (extra ctest arguments),
# QB_SANITIZE (address or thread: a sanitizer build in its own folder).
#
# `test` runs every test (label "slow" left out) in build/, then the checks
# named in QB_CHECKS (default "package address thread fuzz"; empty for none):
#   package  the Debian package built, linted, installed, used and removed
#   address  the whole suite built with ASan+UBSan in build-address/
#   thread   the engine's tests built with TSan in build-thread/
#   fuzz     each libFuzzer target for QB_FUZZ_SECONDS (25) in build-fuzz/
# The long parts: `cd build && ctest -L slow` (boundaries) and
# `bench/fuzz_roundtrip` (thousands of random trees).
set -euo pipefail

cd "$(dirname "$0")"
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build${QB_SANITIZE:+-$QB_SANITIZE}}
JOBS=${JOBS:-$(nproc)}

BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config qt6-base-dev libzip-dev
                libdeflate-dev zlib1g-dev fonts-liberation libgl-dev)
TEST_PACKAGES=(unzip zip 7zip libarchive-tools python3 xvfb xdotool x11-apps
               imagemagick util-linux procps clang libclang-rt-14-dev lintian)
PACKAGE_PACKAGES=(dpkg-dev scdoc file)

install_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]} (run as root, or install them first)" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build() {
    local extra=()
    [ -n "${QB_SANITIZE:-}" ] && extra+=("-DQB_SANITIZE=$QB_SANITIZE")
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja "${extra[@]}" >/dev/null
    cmake --build "$BUILD_DIR" -j "$JOBS"
}

# Sanitizer runtimes: stop at the first report. The suppression files name
# the few allocations and threads that belong to libraries, not to us.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/tests/reliability/lsan.supp:print_suppressions=0}
# The engine's tests fork children and end some of them with exit() in the
# middle of an archive, with a worker thread still alive: that is the
# program's designed way out, not a thread leak.
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:die_after_fork=0:report_thread_leaks=0:suppressions=$ROOT/tests/reliability/tsan.supp}

# The Debian package, built apart from the test build: a release build
# with Debian's hardening flags, no tests, installed under /usr.
package() {
    local dir=$ROOT/build-package
    rm -rf "$dir/_CPack_Packages"
    # CMake reads no CPPFLAGS: the preprocessor's hardening joins the others.
    local flags=(DEB_BUILD_MAINT_OPTIONS=hardening=+all)
    local cppflags
    cppflags=$(env "${flags[@]}" dpkg-buildflags --get CPPFLAGS)
    env "${flags[@]}" \
        CFLAGS="$(env "${flags[@]}" dpkg-buildflags --get CFLAGS) $cppflags" \
        CXXFLAGS="$(env "${flags[@]}" dpkg-buildflags --get CXXFLAGS) $cppflags" \
        LDFLAGS="$(env "${flags[@]}" dpkg-buildflags --get LDFLAGS)" \
        cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
              -DCMAKE_INSTALL_PREFIX=/usr -DQB_TESTS=OFF -DQB_PACKAGE=ON >/dev/null
    cmake --build "$dir" -j "$JOBS"
    (cd "$dir" && rm -f ./*.deb && cpack -G DEB >/dev/null)
    local deb
    deb=$(ls "$dir"/quillbarrow_*.deb)
    mkdir -p "$BUILD_DIR"
    rm -f "$BUILD_DIR"/quillbarrow_*.deb
    cp "$deb" "$BUILD_DIR/"
    echo "Package: $BUILD_DIR/$(basename "$deb")"
}

# One extra check after the normal tests; prints how long it took.
run_check() {
    local started=$SECONDS dir
    case "$1" in
        package)
            package
            bash "$ROOT/tests/package/check.sh" "$BUILD_DIR"/quillbarrow_*.deb
            ;;
        address)
            dir=$ROOT/build-address
            cmake -S "$ROOT" -B "$dir" -G Ninja -DQB_SANITIZE=address >/dev/null
            cmake --build "$dir" -j "$JOBS"
            # shellcheck disable=SC2086
            (cd "$dir" && ctest --output-on-failure -j "$JOBS" -LE 'slow|fuzz' ${CTEST_ARGS:-})
            ;;
        thread)
            dir=$ROOT/build-thread
            cmake -S "$ROOT" -B "$dir" -G Ninja -DQB_SANITIZE=thread >/dev/null
            cmake --build "$dir" -j "$JOBS" --target tests/zip32/all
            (cd "$dir/tests/zip32" && ctest --output-on-failure -j "$JOBS" -LE slow)
            ;;
        fuzz)
            dir=$ROOT/build-fuzz
            CC=clang CXX=clang++ cmake -S "$ROOT" -B "$dir" -G Ninja -DQB_FUZZ=ON \
                -DQB_FUZZ_SECONDS="${QB_FUZZ_SECONDS:-25}" >/dev/null
            cmake --build "$dir" -j "$JOBS" --target qb_fuzzers
            (cd "$dir" && ctest --output-on-failure -j "$JOBS" -L fuzz)
            ;;
        *)
            echo "Unknown check: $1 (package, address, thread or fuzz)" >&2
            return 2
            ;;
    esac
    echo "check $1: $((SECONDS - started)) s"
}

case "${1:-}" in
    deps)
        install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
        ;;
    package)
        install_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
        package
        ;;
    build)
        install_packages "${BUILD_PACKAGES[@]}"
        build
        ;;
    run)
        install_packages "${BUILD_PACKAGES[@]}"
        build
        if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
            echo "No display found (DISPLAY is not set): start this from a desktop session." >&2
        fi
        exec "$BUILD_DIR/bin/quillbarrow"
        ;;
    test)
        install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
        build
        started=$SECONDS
        # shellcheck disable=SC2086
        (cd "$BUILD_DIR" && ctest --output-on-failure -j "$JOBS" -LE slow ${CTEST_ARGS:-})
        echo "tests: $((SECONDS - started)) s"
        if [ -z "${QB_SANITIZE:-}" ]; then
            for check in ${QB_CHECKS-package address thread fuzz}; do
                run_check "$check"
            done
        fi
        echo "test: $SECONDS s in all"
        ;;
    *)
        sed -n '2,18p' "$0"
        exit 2
        ;;
esac
