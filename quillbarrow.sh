#!/usr/bin/env bash
# Quillbarrow's one entry point for setting up, building, running and testing.
#
#   ./quillbarrow.sh run     install what the program needs, build it, start it
#   ./quillbarrow.sh test    install what the tests need, build, run every test
#   ./quillbarrow.sh build   build only
#   ./quillbarrow.sh deps    install the Debian packages only (as root)
#
# Environment: BUILD_DIR (default ./build), CTEST_ARGS (extra ctest arguments),
# QB_SANITIZE (address or thread: a sanitizer build in its own folder).
set -euo pipefail

cd "$(dirname "$0")"
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build${QB_SANITIZE:+-$QB_SANITIZE}}
JOBS=${JOBS:-$(nproc)}

BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config qt6-base-dev libzip-dev
                libdeflate-dev zlib1g-dev fonts-liberation libgl-dev)
TEST_PACKAGES=(unzip zip 7zip libarchive-tools python3 xvfb xdotool x11-apps
               imagemagick util-linux procps)

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

case "${1:-}" in
    deps)
        install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
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
        install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
        build
        cd "$BUILD_DIR"
        # shellcheck disable=SC2086
        ctest --output-on-failure -j "$JOBS" ${CTEST_ARGS:-}
        ;;
    *)
        sed -n '2,12p' "$0"
        exit 2
        ;;
esac
