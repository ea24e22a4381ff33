#!/usr/bin/env python3
"""Every function of the product fits a screen.

    check_functions.py [ROOT] [--limit N]    (default: this repository, 60)

Counts each function from the line of its name to its closing brace, as
universal-ctags reports them (--fields=+ne), and lists those longer than
the limit; exit 1 when there is one.
"""
import argparse
import os
import subprocess
import sys

PRODUCT = ["app", "window", "core", "zip32"]


def long_functions(root, limit):
    out = subprocess.run(["ctags-universal", "-x", "--_xformat=%n\t%e\t%F\t%N", "--fields=+ne",
                          "--kinds-c++=f", "--kinds-c=f", "--languages=C,C++", "-R"] + PRODUCT,
                         cwd=root, capture_output=True, text=True, check=True).stdout
    found = []
    for line in out.splitlines():
        start, end, path, name = line.split("\t", 3)
        if end.isdigit() and int(end) - int(start) + 1 > limit:
            found.append((int(end) - int(start) + 1, "%s:%s" % (path, start), name))
    return sorted(found, reverse=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root", nargs="?", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    parser.add_argument("--limit", type=int, default=60)
    args = parser.parse_args()
    found = long_functions(args.root, args.limit)
    for lines, where, name in found:
        print("%s: %s is %d lines long (at most %d)" % (where, name, lines, args.limit))
    if found:
        return 1
    print("every function is at most %d lines long" % args.limit)
    return 0


if __name__ == "__main__":
    sys.exit(main())
