#!/usr/bin/env python3
"""Boundaries, through the program's own archiver (qb_archive_cli): entry
counts around 65,535, sparse files around 2 GiB and 4 GiB, and a stored
entry that pushes a later local header past 4 GiB. Long: labelled "slow".

    boundaries.py [--only counts|sizes|stored]

The stored case needs about 9 GiB free in the temporary folder and is
skipped otherwise."""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import zipcheck  # noqa: E402

GiB = 1 << 30


def MIDDLE(size):
    """Where the marker goes: near the middle, at the start of a read chunk."""
    return (size // 2) & ~((1 << 24) - 1)


def archive(cli, out, folder):
    p = subprocess.run([cli, out + "/", folder], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=3000)
    lines = [json.loads(l) for l in p.stdout.decode().splitlines() if l.startswith("{")]
    if p.returncode != 0 or not lines:
        raise SystemExit("archiver exit %d: %s" % (p.returncode, p.stderr.decode()[-400:]))
    return lines[0]


def counts(cli, w):
    problems = []
    for n in (65534, 65535, 65536, 70000):
        a = os.path.join(w, "n%d" % n)
        os.makedirs(a)
        for i in range(n - 1):   # the folder's own entry makes n
            with open(os.path.join(a, "%06d" % i), "wb") as fh:
                fh.write(b"%d" % i)
        out = os.path.join(w, "out%d" % n)
        os.makedirs(out)
        o = archive(cli, out, a)
        z = os.path.join(out, "n%d.zip" % n)
        found = ["result %d: %s" % (o["result"], o["messages"][:200])] if o["result"] else []
        if os.path.exists(z):
            found += zipcheck.full_check(z, zipcheck.expected_entries(a), extract=False)
            with zipfile.ZipFile(z) as zf:
                if len(zf.infolist()) != n:
                    found.append("%d entries, want %d" % (len(zf.infolist()), n))
        else:
            found.append("no archive")
        print("entries %6d: %s" % (n, "ok" if not found else found[:4]))
        problems += found
        shutil.rmtree(a)
        shutil.rmtree(out)
    return problems


def sizes(cli, w):
    problems = []
    for size in (2 * GiB - 1, 2 * GiB, 4 * GiB - 1, 4 * GiB, 4 * GiB + 1, 5 * GiB):
        a = os.path.join(w, "s%d" % size)
        os.makedirs(a)
        with open(os.path.join(a, "sparse"), "wb") as fh:
            fh.truncate(size)
            fh.seek(MIDDLE(size))
            fh.write(b"middle")
        with open(os.path.join(a, "zz-after"), "wb") as fh:
            fh.write(b"after the big one")
        out = os.path.join(w, "out")
        os.makedirs(out)
        t0 = time.time()
        o = archive(cli, out, a)
        z = os.path.join(out, "s%d.zip" % size)
        found = ["result %d: %s" % (o["result"], o["messages"][:200])] if o["result"] else []
        if os.path.exists(z):
            found += zipcheck.readers_accept(z) + zipcheck.lint(z)
            with zipfile.ZipFile(z) as zf:
                for info in zf.infolist():
                    if info.filename.endswith("/sparse"):
                        if info.file_size != size:
                            found.append("size %d, want %d" % (info.file_size, size))
                        crc, got, mid = 0, 0, b""
                        with zf.open(info) as fh:
                            while True:
                                chunk = fh.read(1 << 24)
                                if not chunk:
                                    break
                                if got <= MIDDLE(size) < got + len(chunk):
                                    mid = chunk[MIDDLE(size) - got:MIDDLE(size) - got + 6]
                                got += len(chunk)
                        if got != size or mid != b"middle":
                            found.append("read back %d bytes, middle %r" % (got, mid))
                    elif info.filename.endswith("/zz-after") and zf.read(info) != b"after the big one":
                        found.append("the entry after the big one differs")
        else:
            found.append("no archive")
        print("size %11d: %.0f s %s" % (size, time.time() - t0, "ok" if not found else found[:4]))
        problems += found
        shutil.rmtree(a)
        shutil.rmtree(out)
    return problems


def stored(cli, w):
    if shutil.disk_usage(w).free < 9 * GiB:
        print("stored past 4 GiB: skipped, less than 9 GiB free")
        return []
    a = os.path.join(w, "st")
    os.makedirs(a)
    block = os.urandom(1 << 24)
    with open(os.path.join(a, "a-random"), "wb") as fh:
        for i in range((4 * GiB + (1 << 26)) // len(block)):
            fh.write(block[i % 7:] + block[:i % 7])
    with open(os.path.join(a, "b-after"), "wb") as fh:
        fh.write(b"header past 4 GiB")
    out = os.path.join(w, "out")
    os.makedirs(out)
    o = archive(cli, out, a)
    z = os.path.join(out, "st.zip")
    found = ["result %d" % o["result"]] if o["result"] else []
    if os.path.exists(z):
        found += zipcheck.readers_accept(z) + zipcheck.lint(z)
        with zipfile.ZipFile(z) as zf:
            after = [i for i in zf.infolist() if i.filename.endswith("b-after")]
            if not after or after[0].header_offset < 4 * GiB or zf.read(after[0]) != b"header past 4 GiB":
                found.append("the later entry is not past 4 GiB or differs")
    else:
        found.append("no archive")
    print("stored past 4 GiB: %s" % ("ok" if not found else found[:4]))
    shutil.rmtree(a)
    shutil.rmtree(out)
    return found


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--only", choices=["counts", "sizes", "stored"])
    args = ap.parse_args()
    cli = zipcheck.archive_cli()
    w = tempfile.mkdtemp(prefix="qb-bound-")
    problems = []
    try:
        for name, fn in (("counts", counts), ("sizes", sizes), ("stored", stored)):
            if not args.only or args.only == name:
                problems += fn(cli, w)
    finally:
        shutil.rmtree(w, ignore_errors=True)
    print("boundaries: %d problems" % len(problems))
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
