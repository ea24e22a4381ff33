#!/usr/bin/env python3
"""Every product source is as the repository's .clang-format formats it.

    check_format.py CLANG_FORMAT [ROOT]

Lists the files clang-format would change, with the first lines it would
change; exit 1 when there is one. Format them with
    CLANG_FORMAT -i FILE...
"""
import difflib
import os
import subprocess
import sys

PRODUCT = ["app", "window", "core", "zip32"]
SOURCE = (".h", ".hpp", ".cpp", ".cc", ".c")


def unformatted(clang_format, root):
    found = []
    for top in PRODUCT:
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(n for n in names if n.endswith(SOURCE)):
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8", errors="surrogateescape") as f:
                    before = f.read()
                after = subprocess.run([clang_format, "--style=file", path], capture_output=True, check=True,
                                       text=True, encoding="utf-8", errors="surrogateescape").stdout
                if after != before:
                    diff = difflib.unified_diff(before.splitlines(), after.splitlines(), lineterm="", n=0)
                    found.append((os.path.relpath(path, root), list(diff)[2:8]))
    return found


def main():
    clang_format = sys.argv[1]
    root = sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(__file__), "..", "..")
    found = unformatted(clang_format, root)
    for path, lines in found:
        print("%s is not formatted:" % path)
        print("\n".join("    " + line for line in lines))
    if found:
        print("format with: %s -i %s" % (clang_format, " ".join(p for p, _ in found)))
        return 1
    print("every product source is formatted")
    return 0


if __name__ == "__main__":
    sys.exit(main())
