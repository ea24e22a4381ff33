#!/usr/bin/env bash
# Runs a Windows test program under Wine for ctest, which names this script
# as the Windows build's CMAKE_CROSSCOMPILING_EMULATOR. The functions listed
# for the program in skipped-under-wine.txt are left out, each named with its
# reason. Qt's test library logs through OutputDebugString when the program
# has no console, as under Wine, so the log goes to a file, printed when the
# program ends.
set -u
program=$1
shift
name=$(basename "$program" .exe)
skipped=$(awk -v p="$name" '$1 == p { print $2 }' "$(dirname "$0")/skipped-under-wine.txt")
awk -v p="$name" '$1 == p { $1 = ""; sub(/^ /, ""); print "SKIP   : " $0 " (Windows build under Wine)" }' \
    "$(dirname "$0")/skipped-under-wine.txt"
functions=()
if [ -n "$skipped" ]; then
    while read -r f; do
        f=${f%%(*}
        grep -qx "$f" <<< "$skipped" || functions+=("$f")
    done < <(wine "$program" -functions | tr -d '\r')
    if [ ${#functions[@]} -eq 0 ]; then
        echo "$name: every function skipped"
        exit 0
    fi
fi
log=$(mktemp)
wine "$program" -o "Z:$log,txt" "$@" "${functions[@]}"
status=$?
cat "$log"
rm -f "$log"
exit "$status"
