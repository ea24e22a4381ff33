#!/usr/bin/env bash
# Runs a Windows test program under Wine for ctest, which names this script
# as the Windows build's CMAKE_CROSSCOMPILING_EMULATOR. The functions listed
# for the program in skipped-under-wine.txt are left out, each named with its
# reason. Qt's test library logs through OutputDebugString when the program
# has no console, as under Wine, so the log goes to a file, printed when the
# program ends. A program that fails also gets what it and Wine printed
# (Wine's own error messages included) and its exit status, so that a
# failure that leaves no log still says what happened.
set -u
program=$1
shift
name=$(basename "$program" .exe)
list=$(dirname "$0")/skipped-under-wine.txt
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# Wine hands a Windows program none of the variables whose names begin with
# QT_ (they are the Linux desktop's), but takes WINEQT_X for QT_X.
for var in $(compgen -e); do
    [[ $var == QT_* ]] && export "WINE$var=${!var}"
done
# Wine's error messages are kept, for a program that fails.
export WINEDEBUG=${WINEDEBUG:--all},err+all

# Runs the program with the arguments given, its output and Wine's in $out;
# prints them and says so when it fails.
run() {
    local what=$1 status
    shift
    wine "$program" "$@" </dev/null >"$out/$what.out" 2>"$out/$what.err"
    status=$?
    if [ "$status" -ne 0 ]; then
        echo "$name $what: exit status $status under Wine"
        echo "--- what the program printed:"
        tr -d '\r' < "$out/$what.out"
        echo "--- what Wine printed:"
        cat "$out/$what.err"
        echo "---"
    fi
    return "$status"
}

skipped=$(awk -v p="$name" '$1 == p { print $2 }' "$list")
awk -v p="$name" '$1 == p { $1 = ""; sub(/^ /, ""); print "SKIP   : " $0 " (Windows build under Wine)" }' "$list"
functions=()
if [ -n "$skipped" ]; then
    run functions -functions || exit 1
    listed=0
    while read -r f; do
        f=${f%%(*}
        listed=$((listed + 1))
        grep -qx "$f" <<< "$skipped" || functions+=("$f")
    done < <(tr -d '\r' < "$out/functions.out")
    if [ "$listed" -eq 0 ]; then
        echo "$name: -functions listed no test function"
        exit 1
    fi
    if [ ${#functions[@]} -eq 0 ]; then
        echo "$name: every function skipped"
        exit 0
    fi
fi
run test -o "Z:$out/log,txt" "$@" "${functions[@]}"
status=$?
cat "$out/log" 2>/dev/null || echo "$name: wrote no test log"
exit "$status"
