#!/usr/bin/env bash
# Quillbarrow's one entry point for setting up, building, running and testing.
#
#   ./quillbarrow.sh run     install what the program needs, build it, start it
#   ./quillbarrow.sh test    install what the tests need, build, run every test
#   ./quillbarrow.sh build   build only
#   ./quillbarrow.sh package build the Debian package build/quillbarrow_<version>_<arch>.deb
#   ./quillbarrow.sh deps    install the Debian packages only (as root)
#   ./quillbarrow.sh windows  cross-build the Windows program with MinGW-w64:
#                             build-windows/quillbarrow-windows-x64.zip (portable)
#                             and its installer (NSIS), beside it:
#                             build-windows/quillbarrow-<version>-x64-setup.exe
#   ./quillbarrow.sh test-windows   build both and test them under Wine
#
# Environment: BUILD_DIR (default ./build), CTEST_ARGS (extra ctest arguments),
# QB_SANITIZE (address or thread: a sanitizer build in its own folder),
# QB_WINDOWS_CACHE (where the Windows build keeps Qt, libzip and libdeflate
# built for Windows; default ~/.cache/quillbarrow-windows).
#
# `test` runs every test (label "slow" left out) in build/, then the checks
# named in QB_CHECKS (default "package address thread fuzz windows"; empty for none):
#   package  the Debian package built, linted, installed, used and removed
#   address  the whole suite built with ASan+UBSan in build-address/
#   thread   the engine's tests built with TSan in build-thread/
#   fuzz     each libFuzzer target for QB_FUZZ_SECONDS (25) in build-fuzz/
#   windows  test-windows: the Windows program built with MinGW-w64 in
#            build-windows/ (Qt for Windows built once and cached: about half
#            an hour of two cores the first time), its engine, its window,
#            its unit tests and its installer under Wine
# The long parts: `cd build && ctest -L slow` (boundaries) and
# `bench/fuzz_roundtrip` (thousands of random trees).
set -euo pipefail

cd "$(dirname "$0")"
ROOT=$(pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build${QB_SANITIZE:+-$QB_SANITIZE}}
JOBS=${JOBS:-$(nproc)}

BUILD_PACKAGES=(build-essential cmake ninja-build pkg-config qt6-base-dev libzip-dev
                libdeflate-dev zlib1g-dev fonts-liberation libgl-dev)
# acl, fusefat and dosfstools: archives keeping an ACL, and a FAT stick
# (through FUSE) for the re-run and name checks; clang-format and
# universal-ctags: the sources' formatting and function lengths.
TEST_PACKAGES=(unzip zip 7zip libarchive-tools python3 xvfb xdotool x11-apps
               imagemagick util-linux procps clang libclang-rt-14-dev lintian
               acl fusefat dosfstools clang-format-14 universal-ctags)
PACKAGE_PACKAGES=(dpkg-dev scdoc file appstream desktop-file-utils)
# The Windows program: a cross compiler, zlib for Windows, Wine to run it,
# dpkg-dev for the source packages of libzip, libdeflate and Qt, and NSIS
# for its installer.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
                  wine wine64 dpkg-dev unzip 7zip libarchive-tools python3 nsis)

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

# Debian's source packages of the packages named after $1 (installed
# packages whose sources are wanted: their very versions), unpacked into
# $1/src. apt-get works on a private sources list and state folder under $1,
# made from this machine's own Debian "deb" entries, so the system's apt
# set-up is never touched.
debian_sources() {
    local work=$1; shift
    mkdir -p "$work/apt/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/parts" "$work/src"
    # The deb-src twins of the machine's own "deb" entries, one-line and deb822.
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] && sed -n -E 's/^[[:space:]]*deb[[:space:]]+/deb-src /p' "$f"
    done > "$work/apt/sources.list"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk 'BEGIN { RS = ""; ORS = "\n\n" }
             /(^|\n)Types:([^\n]*[ \t])?deb([ \t\n]|$)/ && !/(^|\n)Enabled:[ \t]*no/ {
                 sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$f"
    done > "$work/apt/parts/quillbarrow-src.sources"
    local apt_private=(-o "Dir::Etc::SourceList=$work/apt/sources.list"
                       -o "Dir::Etc::SourceParts=$work/apt/parts"
                       -o "Dir::State::Lists=$work/apt/lists"
                       -o "Dir::Cache=$work/apt/cache"
                       -o "APT::Sandbox::User=root")
    apt-get "${apt_private[@]}" update -qq
    local packages
    packages=$(dpkg-query -W -f='${source:Package}=${source:Version} ' "$@")
    # shellcheck disable=SC2086
    (cd "$work/src" && apt-get "${apt_private[@]}" source -qq --only-source $packages >/dev/null)
}

# libzip and libdeflate for Windows, built from Debian's source packages of
# the very versions the Linux build uses, into $1 (a prefix with include/,
# lib/ and lib/pkgconfig/): Debian ships them for Windows in source form
# only. Nothing is done when $1 already holds these versions.
windows_libraries() {
    local prefix=$1 work want stamp
    work=$(dirname "$prefix")/work
    want="$(dpkg-query -W -f='${source:Package}=${source:Version} ' libzip-dev libdeflate-dev)"
    want+="gcc=$(x86_64-w64-mingw32-gcc-posix -dumpversion) $(sha1sum < "$ROOT/cmake/mingw-w64-x86_64.cmake" | cut -c1-12)"
    stamp=$prefix/.built-from
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
        echo "Windows libraries: cached in $prefix"
        return 0
    fi
    echo "Windows libraries: building $want into $prefix"
    rm -rf "$prefix" "$work"
    mkdir -p "$prefix/include" "$prefix/lib/pkgconfig"
    debian_sources "$work" libzip-dev libdeflate-dev

    local src
    src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'libdeflate-*')
    # libdeflate's own makefile knows MinGW; only its static library is taken.
    make -C "$src" -j "$JOBS" CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar \
        libdeflatestatic.lib >/dev/null
    cp "$src/libdeflatestatic.lib" "$prefix/lib/libdeflate.a"
    cp "$src/libdeflate.h" "$prefix/include/"
    printf '%s\n' "prefix=$prefix" 'libdir=${prefix}/lib' 'includedir=${prefix}/include' '' \
        'Name: libdeflate' 'Description: DEFLATE compression, static, for Windows' \
        "Version: ${src##*-}" 'Libs: -L${libdir} -ldeflate' 'Cflags: -I${includedir}' \
        > "$prefix/lib/pkgconfig/libdeflate.pc"

    src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'libzip-*')
    cmake -S "$src" -B "$work/libzip-build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" -DQB_WINDOWS_PREFIX="$prefix" \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
        -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_GNUTLS=OFF \
        -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_COMMONCRYPTO=OFF \
        -DENABLE_WINDOWS_CRYPTO=OFF -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF \
        -DBUILD_DOC=OFF -Wno-dev >/dev/null
    cmake --build "$work/libzip-build" -j "$JOBS" >/dev/null
    cmake --install "$work/libzip-build" >/dev/null
    rm -rf "$work"
    echo "$want" > "$stamp"
}

# Qt for Windows: what the program needs of it (Core, Gui, Widgets, the
# "windows" platform plugin) and Test for the unit tests, built from Debian's
# source package of the very Qt the Linux build uses, with the host's moc, rcc
# and uic. Shared, GDI fonts, no OpenGL: three switches are needed beyond
# turning things off. INPUT_opengl=no, since FEATURE_opengl=OFF alone leaves
# dynamic OpenGL on; no DirectWrite, or Qt 6.4 fails to link qwindows.dll; no
# tablet events, since Debian's source has no wintab. zlib, pcre2, libpng and
# harfbuzz are Qt's own copies. About 900 steps, half an hour on two cores,
# run at the lowest priority; nothing is done when $1 already holds this build.
QT_WINDOWS_OPTIONS=(-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON
    -DQT_BUILD_TESTS=OFF -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_BENCHMARKS=OFF
    -DINPUT_opengl=no -DFEATURE_opengl=OFF -DFEATURE_directwrite=OFF -DFEATURE_tabletevent=OFF
    -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF
    -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_testlib=ON -DFEATURE_zstd=OFF
    -DFEATURE_freetype=OFF -DFEATURE_jpeg=OFF -DFEATURE_vulkan=OFF -DFEATURE_direct2d=OFF
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF
    -DFEATURE_system_harfbuzz=OFF)
# What a Qt for Windows built now is built from: its stamp.
windows_qt_want() {
    echo "$(dpkg-query -W -f='${source:Package}=${source:Version} ' qt6-base-dev)gcc=$(
        x86_64-w64-mingw32-g++-posix -dumpversion) $(sha1sum < "$ROOT/cmake/mingw-w64-x86_64.cmake" |
        cut -c1-12) $(echo "${QT_WINDOWS_OPTIONS[*]}" | sha1sum | cut -c1-12)"
}

# True when $1 holds Qt for Windows built as windows_qt would build it now.
windows_qt_cached() {
    [ "$(cat "$1/.built-from" 2>/dev/null)" = "$(windows_qt_want)" ]
}

windows_qt() {
    local prefix=$1 work want started=$SECONDS
    work=$(dirname "$prefix")/qt-work
    want=$(windows_qt_want)
    if windows_qt_cached "$prefix"; then
        echo "Qt for Windows: cached in $prefix"
        return 0
    fi
    echo "Qt for Windows: building $want into $prefix (about half an hour)"
    rm -rf "$prefix" "$work"
    debian_sources "$work" qt6-base-dev
    local src
    src=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*')
    nice -n 19 cmake -S "$src" -B "$work/build" -G Ninja -Wno-dev \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" -DQB_WINDOWS_PREFIX="$prefix" \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        "${QT_WINDOWS_OPTIONS[@]}" > "$work/configure.log" 2>&1 ||
        { tail -n 30 "$work/configure.log" >&2; return 1; }
    echo "Qt for Windows: configured in $((SECONDS - started)) s"
    nice -n 19 cmake --build "$work/build" -j "$JOBS" > "$work/build.log" 2>&1 ||
        { tail -n 30 "$work/build.log" >&2; return 1; }
    cmake --install "$work/build" > /dev/null
    rm -rf "$work"
    echo "$want" > "$prefix/.built-from"
    echo "Qt for Windows: built in $((SECONDS - started)) s"
}

# The Windows program, cross-built in build-windows/ against Qt for Windows
# (built once and cached, as are libzip and libdeflate): quillbarrow.exe and
# zip32.dll with the shipped files, Qt and the MinGW run-time beside them,
# as the folder build-windows/quillbarrow-windows-x64 and the archive
# build-windows/quillbarrow-windows-x64.zip, and that folder installed by
# build-windows/quillbarrow-<version>-x64-setup.exe (makensis,
# packaging/windows/quillbarrow.nsi). The tests are built too.
windows_program() {
    install_packages "${BUILD_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    local cache=${QB_WINDOWS_CACHE:-$HOME/.cache/quillbarrow-windows}
    local prefix=$cache/x86_64-w64-mingw32 qt=$cache/qt6-x86_64-w64-mingw32
    local dir=$ROOT/build-windows name=quillbarrow-windows-x64
    windows_libraries "$prefix"
    windows_qt "$qt"
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
        -DQB_WINDOWS_PREFIX="$prefix" -DQB_WINDOWS_QT="$qt" -DCMAKE_PREFIX_PATH="$qt" \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$ROOT/tests/windows/wine-test.sh" -DQB_ENGINE_ONLY=OFF >/dev/null
    cmake --build "$dir" -j "$JOBS"
    rm -rf "${dir:?}/$name" "$dir/$name.zip"
    cmake --install "$dir" --prefix "$dir/$name" --strip >/dev/null
    bash "$ROOT/packaging/deploy-windows.sh" "$dir/$name" "$qt"
    (cd "$dir" && python3 -m zipfile -c "$name.zip" "$name")
    echo "Windows program: $dir/$name.zip ($(du -k "$dir/$name.zip" | cut -f1) KiB," \
         "$(find "$dir/$name" -type f | wc -l) files)"
    local setup version
    setup=$(windows_setup)
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")
    rm -f "$dir"/quillbarrow-*-x64-setup.exe
    nice -n 10 makensis -V2 -WX -DVERSION="$version" -DSOURCE="$dir/$name" \
        -DICON="$dir/windows/quillbarrow.ico" -DLICENSE="$ROOT/packaging/copyright" \
        -DOUTFILE="$setup" "$ROOT/packaging/windows/quillbarrow.nsi"
    echo "Windows installer: $setup ($(du -k "$setup" | cut -f1) KiB)"
}

# The installer windows_program makes, named by the project's version.
windows_setup() {
    echo "$ROOT/build-windows/quillbarrow-$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' \
        "$ROOT/build-windows/CMakeCache.txt")-x64-setup.exe"
}

# Wine for the unit tests: a throwaway prefix in $1, no debugging noise.
windows_wine_env() {
    export WINEPREFIX=$1 WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
}

# Runs a Wine tool with its output in a file (Wine's server keeps what it was
# started with open); prints that output when the tool fails.
wine_step() {
    local log status=0
    log=$(mktemp)
    "$@" </dev/null >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "$*: exit status $status" >&2
        cat "$log" >&2
    fi
    rm -f "$log"
    return "$status"
}

# The prefix of windows_wine_env made and started as
# tests/windows/run_wintests.py starts its own: made and waited for, then a
# server that stays up (one can only be started for a prefix that exists)
# and Wine's session booted on it, so that no test meets a server starting
# or shutting down. Wine has no Arial: the metric twin the Linux build uses
# stands in, as for the real window. wineserver -k ends it.
windows_wine_start() {
    wine_step wineboot -i && wine_step wineserver -w && wine_step wineserver -p &&
        wine_step wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Arial /d "Liberation Sans" /f &&
        wine_step wineboot -i
}

# The Windows program tested: zip32.dll checked for what it exports and needs
# and driven by zip32_wintest.exe beside the Linux build's zip32_cli; the
# console companion quillbarrow.com through cmd (tests/windows/run_console_wine.py);
# the core's and the window's unit tests under Wine; the real window under
# Wine, driven with xdotool (tests/windows/run_window_wine.py); the
# installer, its program and its uninstaller (tests/windows/run_installer_wine.py).
# zip32.dll in $1 checked for what it exports and needs, then driven by
# zip32_wintest.exe under Wine beside the Linux build's zip32_cli.
test_windows_engine() {
    local dir=$1 dll=$1/bin/zip32.dll exports imports
    exports=$(x86_64-w64-mingw32-objdump -p "$dll" |
              sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[[:space:]]+\[ *[0-9]+\]/ { print $NF }' | sort | xargs)
    if [ "$exports" != "ZpArchive ZpInit ZpSetOptions" ]; then
        echo "zip32.dll must export ZpArchive, ZpInit and ZpSetOptions only; it exports: $exports" >&2
        return 1
    fi
    imports=$(x86_64-w64-mingw32-objdump -p "$dll" | awk '/DLL Name:/ { print $3 }' | sort -u | xargs)
    if grep -qiE 'libgcc|libstdc|winpthread|zlib|libzip|libdeflate' <<< "$imports"; then
        echo "zip32.dll needs DLLs that do not come with Windows: $imports" >&2
        return 1
    fi
    echo "zip32.dll: exports $exports; needs $imports"
    # The Linux engine, for the archive both builds must write alike.
    cmake -S "$ROOT" -B "$BUILD_DIR" -G Ninja >/dev/null
    cmake --build "$BUILD_DIR" -j "$JOBS" --target zip32_cli
    python3 "$ROOT/tests/windows/run_wintests.py" --bin "$dir/bin" \
        --linux-cli "$BUILD_DIR/bin/zip32_cli" --work "$dir/wintests"
}

test_windows() {
    local started=$SECONDS dir=$ROOT/build-windows
    local cache=${QB_WINDOWS_CACHE:-$HOME/.cache/quillbarrow-windows}
    install_packages "${BUILD_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
    # CI's time does not stretch to a cold Qt build beside every other check
    # (half an hour of two free cores, an hour on busy ones): there, without
    # Qt in the cache, the engine alone is built and tested, as before.
    if [ "${CI:-}" = true ] && ! windows_qt_cached "$cache/qt6-x86_64-w64-mingw32"; then
        echo "test-windows: Qt for Windows is not cached; CI tests zip32.dll alone" \
             "(./quillbarrow.sh windows builds and caches Qt)"
        windows_libraries "$cache/x86_64-w64-mingw32"
        cmake -S "$ROOT" -B "$dir-engine" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
            -DQB_WINDOWS_PREFIX="$cache/x86_64-w64-mingw32" -DQB_ENGINE_ONLY=ON >/dev/null
        cmake --build "$dir-engine" -j "$JOBS"
        test_windows_engine "$dir-engine"
        echo "test-windows: $((SECONDS - started)) s"
        return
    fi
    windows_program
    test_windows_engine "$dir"
    python3 "$ROOT/tests/windows/run_console_wine.py" --folder "$dir/quillbarrow-windows-x64" \
        --bin "$dir/bin" --work "$dir/wine-console"
    python3 "$ROOT/tests/windows/run_window_wine.py" --folder "$dir/quillbarrow-windows-x64" \
        --work "$dir/wine-window" --shots "$dir/wine-shots"
    python3 "$ROOT/tests/windows/run_installer_wine.py" --setup "$(windows_setup)" \
        --folder "$dir/quillbarrow-windows-x64" --work "$dir/wine-installer" --shots "$dir/wine-shots"
    # The unit tests find Qt beside them, as the program does, and run on
    # Qt's "minimal" platform: no window system is needed.
    local qt=$cache/qt6-x86_64-w64-mingw32
    bash "$ROOT/packaging/deploy-windows.sh" "$dir/bin" "$qt"
    cp "$qt/plugins/platforms/qminimal.dll" "$dir/bin/platforms/"
    rm -rf "$dir/wine-unit"
    (windows_wine_env "$dir/wine-unit"
     unset DISPLAY
     windows_wine_start
     status=0
     (cd "$dir" && ctest --output-on-failure -j "$JOBS") || status=$?
     wineserver -k
     exit "$status")
    echo "test-windows: $((SECONDS - started)) s"
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
        windows)
            test_windows
            ;;
        fuzz)
            dir=$ROOT/build-fuzz
            CC=clang CXX=clang++ cmake -S "$ROOT" -B "$dir" -G Ninja -DQB_FUZZ=ON \
                -DQB_FUZZ_SECONDS="${QB_FUZZ_SECONDS:-25}" >/dev/null
            cmake --build "$dir" -j "$JOBS" --target qb_fuzzers
            (cd "$dir" && ctest --output-on-failure -j "$JOBS" -L fuzz)
            ;;
        *)
            echo "Unknown check: $1 (package, address, thread, fuzz or windows)" >&2
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
    windows)
        windows_program
        ;;
    test-windows)
        test_windows
        ;;
    test)
        install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"
        build
        started=$SECONDS
        # shellcheck disable=SC2086
        (cd "$BUILD_DIR" && ctest --output-on-failure -j "$JOBS" -LE slow ${CTEST_ARGS:-})
        echo "tests: $((SECONDS - started)) s"
        if [ -z "${QB_SANITIZE:-}" ]; then
            for check in ${QB_CHECKS-package address thread fuzz windows}; do
                run_check "$check"
            done
        fi
        echo "test: $SECONDS s in all"
        ;;
    *)
        sed -n '2,/^set -euo pipefail/{/^set -euo/!p}' "$0"
        exit 2
        ;;
esac
