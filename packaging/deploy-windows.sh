#!/usr/bin/env bash
# Makes the Windows program's folder (laid out by `cmake --install` of the
# Windows build) run on a Windows machine with nothing else installed, as
# windeployqt would: the platform plugin, the Windows style and the image
# format plugins go into their folders beside the program, and every DLL that
# the program (quillbarrow.exe, its console companion quillbarrow.com), its
# engine and those plugins import, and that Windows does not bring itself,
# is copied beside the program: Qt's own, then the MinGW
# run-time (libstdc++, libgcc_s, winpthread). Fails, naming them, when any
# DLL is imported that is neither found nor part of Windows. Every program
# file is stripped.
#
#   deploy-windows.sh FOLDER QT_PREFIX
set -euo pipefail

folder=$1
qt=$2
triple=x86_64-w64-mingw32

# Plugins the window needs: without the platform plugin no window opens; the
# style gives the native look; the image formats read the cursor and icons.
plugins=(platforms/qwindows.dll styles/qwindowsvistastyle.dll
         imageformats/qico.dll imageformats/qgif.dll)

# DLLs that come with every Windows that Qt 6 runs on (10 and later).
system_dlls=(advapi32 authz bcrypt comctl32 comdlg32 crypt32 d3d11 d3d9 dwmapi dxgi gdi32
             imm32 kernel32 mpr msvcrt netapi32 ntdll ole32 oleaut32 rpcrt4 setupapi shcore
             shell32 shlwapi user32 userenv uxtheme version winmm ws2_32 wtsapi32)
system=" ${system_dlls[*]/%/.dll} "

imports_of() {
    "$triple-objdump" -p "$1" | awk '/DLL Name:/ { print $3 }'
}

# Where a DLL the program imports is taken from: Qt's bin/, then the
# compiler's own library folders. Empty when it is in neither.
find_dll() {
    if [ -f "$qt/bin/$1" ]; then
        echo "$qt/bin/$1"
        return
    fi
    local found
    found=$("$triple-g++-posix" -print-file-name="$1")
    [ "$found" != "$1" ] && [ -f "$found" ] && readlink -f "$found"
    return 0
}

for plugin in "${plugins[@]}"; do
    mkdir -p "$folder/$(dirname "$plugin")"
    cp "$qt/plugins/$plugin" "$folder/$plugin"
done

# Every file whose imports are still to be looked at, and the DLLs missing.
mapfile -t queue < <(find "$folder" -type f \( -iname '*.exe' -o -iname '*.com' -o -iname '*.dll' \))
missing=()
while [ ${#queue[@]} -gt 0 ]; do
    file=${queue[0]}
    queue=("${queue[@]:1}")
    while read -r dll; do
        lower=${dll,,}
        [ -f "$folder/$dll" ] && continue
        case "$system" in *" $lower "*) continue ;; esac
        [[ $lower == api-ms-win-* ]] && continue
        source=$(find_dll "$dll")
        if [ -z "$source" ]; then
            missing+=("$dll (needed by $(basename "$file"))")
            continue
        fi
        cp "$source" "$folder/$dll"
        queue+=("$folder/$dll")
    done < <(imports_of "$file")
done
if [ ${#missing[@]} -gt 0 ]; then
    printf 'deploy-windows: not found and not part of Windows: %s\n' "${missing[@]}" >&2
    exit 1
fi
# Symbols and debugging information are no use on a user's machine: the
# MinGW run-time alone carries 20 MB of them.
find "$folder" -type f \( -iname '*.exe' -o -iname '*.com' -o -iname '*.dll' \) -exec "$triple-strip" --strip-unneeded {} +
