#!/usr/bin/env python3
"""The floor of a many-folder batch: only what any archiver must do per folder.

    floor.py [--durable] --out DIR --list FILE

For each folder of the list (one absolute path a line): list it, and the
folders in it, links not followed; open, stat and read each file and
compress it with zlib at level 6; write what comes out into one file of its
own, under a temporary name in DIR, and rename that into place (the
folder's last part, with ".z"). With --durable each file is also put on disk
(fsync) before its rename, and DIR once at the end. No archive format, no
names or times stored, no checks: bench/run times it beside our batch as the
rows "floor-python" and "floor-python-durable", and prints our time per
folder (or per file) as a multiple of each. The interpreter's start-up
(some 20 ms) is in its time, as the program's start-up is in ours.
"""
import os
import sys
import zlib

FLUSH_AT = 1 << 20  # bytes gathered before a write: one write for a small folder


def files_in(folder):
    """Every regular file in the folder and in its folders, links left out."""
    stack = [folder]
    while stack:
        with os.scandir(stack.pop()) as entries:
            for entry in entries:
                if entry.is_dir(follow_symlinks=False):
                    stack.append(entry.path)
                elif entry.is_file(follow_symlinks=False):
                    yield entry.path


def read_whole(path):
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NOFOLLOW)
    try:
        want = os.fstat(fd).st_size + 1  # the stat any archiver makes: size and times
        data = os.read(fd, want)
        if len(data) < want:
            return data  # a short read of a regular file is its end
        parts = [data]  # it grew since: the rest too
        while chunk := os.read(fd, 1 << 16):
            parts.append(chunk)
        return b"".join(parts)
    finally:
        os.close(fd)


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def one_folder(folder, out, durable):
    name = os.path.basename(folder.rstrip("/")) + ".z"
    temporary = os.path.join(out, "." + name + ".part")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
    try:
        pending = bytearray()
        for path in files_in(folder):
            pending += zlib.compress(read_whole(path), 6)
            if len(pending) >= FLUSH_AT:
                write_all(fd, pending)
                pending.clear()
        write_all(fd, pending)
        if durable:
            os.fsync(fd)
    finally:
        os.close(fd)
    os.rename(temporary, os.path.join(out, name))


def main(argv):
    durable = "--durable" in argv
    args = [a for a in argv if a != "--durable"]
    if len(args) != 4 or args[0] != "--out" or args[2] != "--list":
        sys.exit("usage: floor.py [--durable] --out DIR --list FILE")
    out, listing = args[1], args[3]
    with open(listing, encoding="utf-8", errors="surrogateescape") as f:
        folders = [line.rstrip("\n") for line in f if line.strip()]
    for folder in folders:
        one_folder(folder, out, durable)
    if durable:
        fd = os.open(out, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
    print("floor.py: %d folders%s" % (len(folders), ", durable" if durable else ""))


if __name__ == "__main__":
    main(sys.argv[1:])
