# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix thread
# model, so std::thread works). QB_WINDOWS_PREFIX is where the libraries built
# for Windows are installed (libzip, libdeflate), QB_WINDOWS_QT where Qt for
# Windows is; both are searched before the compiler's own folder (zlib, the
# system import libraries).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_qb_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_qb_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_qb_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_qb_triple}-windres)
set(CMAKE_AR ${_qb_triple}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${_qb_triple}-ranlib CACHE FILEPATH "")

# Passed on to try_compile projects, which see only the toolchain file.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QB_WINDOWS_PREFIX QB_WINDOWS_QT)
set(CMAKE_FIND_ROOT_PATH ${QB_WINDOWS_PREFIX} ${QB_WINDOWS_QT} /usr/${_qb_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The static zlib: nothing but zip32.dll is to travel with the program.
set(ZLIB_INCLUDE_DIR /usr/${_qb_triple}/include CACHE PATH "")
set(ZLIB_LIBRARY /usr/${_qb_triple}/lib/libz.a CACHE FILEPATH "")

# pkg-config looks at the Windows libraries only.
set(ENV{PKG_CONFIG_LIBDIR} ${QB_WINDOWS_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
