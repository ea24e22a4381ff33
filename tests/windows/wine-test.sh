#!/usr/bin/env bash
# Runs a Windows test program under Wine for ctest, which names this script
# as the Windows build's CMAKE_CROSSCOMPILING_EMULATOR. Qt's test library
# logs through OutputDebugString when the program has no console, as under
# Wine, so the log goes to a file and is printed when the program ends.
set -u
log=$(mktemp)
wine "$@" -o "Z:$log,txt"
status=$?
cat "$log"
rm -f "$log"
exit "$status"
