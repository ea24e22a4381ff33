#!/usr/bin/env python3
"""Round trips of random folder trees through the program's own archiver.

Each tree is built from a seed, archived by qb_archive_cli (ArchiveFolder,
the code behind "Start Zipping"), and read back by unzip, 7-Zip, bsdtar and
Python's zipfile, with a lint of the headers. Every non-hidden regular file
must be there once with its bytes, mode and time, every folder too, and
nothing else, names that are not UTF-8 included.

    roundtrip.py --trees 100 --seed 1          the quick round CI runs
    roundtrip.py --trees 3000 --seed 7 --big   the long round (bench/)

Prints one line per tree that fails and a summary; exits 1 on any failure.
The failing tree's seed is printed so it can be rebuilt alone (--only)."""

import argparse
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import zipcheck  # noqa: E402

LETTERS = "abcdefghijklmnopqrstuvwxyz0123456789"
ODD = ["ä", "ö", "ü", "é", "ß", "ø", "å", "Ж", "я", "λ", "中", "文", "😀", "€", "ñ", " "]


def make_name(rng, taken, allow_bad_utf8):
    while True:
        kind = rng.random()
        if kind < 0.55:
            name = "".join(rng.choice(LETTERS) for _ in range(rng.randint(1, 12))).encode()
        elif kind < 0.80:
            text = "".join(rng.choice(LETTERS + "".join(ODD)) for _ in range(rng.randint(1, 16))).strip() or "x"
            name = text.encode("utf-8")
        elif kind < 0.88:
            name = ("with blanks " + "".join(rng.choice(LETTERS) for _ in range(4)) + " .txt").encode()
        elif kind < 0.93:
            base = "".join(rng.choice(LETTERS) for _ in range(8)).encode()
            name = (base * 40)[:255]                          # the longest name Linux takes
        elif kind < 0.96 and allow_bad_utf8:
            name = b"latin1-caf\xe9-" + str(rng.randint(0, 999)).encode()   # not UTF-8
        else:
            name = b"." + "".join(rng.choice(LETTERS) for _ in range(5)).encode()  # hidden
        if name not in taken and name not in (b".", b".."):
            taken.add(name)
            return name


def file_size(rng, big):
    r = rng.random()
    if r < 0.15:
        return rng.choice([0, 1])
    if r < 0.55:
        return rng.randint(2, 300)
    if r < 0.70:
        return rng.choice([65535, 65536, 65537])
    if r < 0.95:
        return rng.randint(300, 200_000)
    return rng.randint(1 << 20, (4 << 20) if big else (2 << 20))


def file_bytes(rng, size):
    if size == 0:
        return b""
    if rng.random() < 0.5:
        # compressible: repeated words
        words = ["".join(rng.choice(LETTERS) for _ in range(rng.randint(1, 8))).encode() for _ in range(20)]
        out = bytearray()
        while len(out) < size:
            out += rng.choice(words) + b" "
        return bytes(out[:size])
    return rng.randbytes(size)


def build_tree(rng, root, big, bad_utf8):
    """Builds a random tree under root; returns a description for messages."""
    os.makedirs(root)
    budget = [rng.randint(5, 120 if not big else 600)]
    big_left = [1 if not big else 3]
    files = []
    stats = {"files": 0, "folders": 1, "links": 0, "bytes": 0}

    def fill(folder, depth):
        taken = set()
        wide = rng.random() < 0.05
        count = 300 if wide else rng.randint(0, 12)
        for _ in range(count):
            if budget[0] <= 0:
                return
            budget[0] -= 1
            name = make_name(rng, taken, bad_utf8)
            path = os.path.join(folder, name)
            if len(path) > 3600:
                continue
            r = rng.random()
            if r < 0.22 and depth < 8 and not wide:
                os.mkdir(path)
                stats["folders"] += 1
                fill(path, depth + 1)
                continue
            if r < 0.26 and files:
                target = rng.choice(files)
                os.symlink(os.path.relpath(target, folder), path)   # a link to a file
                stats["links"] += 1
                continue
            size = file_size(rng, big) if not wide else rng.randint(0, 40)
            if size >= (1 << 20):
                if big_left[0] <= 0:
                    size = rng.randint(0, 5000)
                else:
                    big_left[0] -= 1
            with open(path, "wb") as fh:
                fh.write(file_bytes(rng, size))
            os.chmod(path, rng.choice([0o644, 0o600, 0o755, 0o444, 0o640]))
            t = rng.randint(315_532_800 + 86400, 4_102_444_800)   # 1980 .. 2100
            os.utime(path, (t, t))
            files.append(path)
            stats["files"] += 1
            stats["bytes"] += size
        if rng.random() < 0.1:
            os.chmod(folder, 0o700)

    fill(os.fsencode(root), 1)
    return stats


def archive(cli, out_dir, folder, timeout=300):
    p = subprocess.run([cli, out_dir + "/", folder], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       timeout=timeout)
    lines = [json.loads(l) for l in p.stdout.decode().splitlines() if l.startswith("{")]
    return p.returncode, (lines[0] if lines else None), p.stderr.decode("utf-8", "replace")


def check_tree(cli, work, seed, big, bad_utf8):
    rng = random.Random(seed)
    root = os.path.join(work, "t%d" % seed)
    out = os.path.join(work, "out%d" % seed)
    os.makedirs(out)
    stats = build_tree(rng, root, big, bad_utf8)
    rc, outcome, err = archive(cli, out, root)
    problems = []
    if rc != 0 or outcome is None:
        return stats, ["archiver exit %d: %s" % (rc, err[-400:])]
    zip_path = os.path.join(out, "t%d.zip" % seed)
    expected = zipcheck.expected_entries(root)
    if not os.path.exists(zip_path):
        problems.append("no archive; result %d: %s" % (outcome["result"], outcome["messages"][:300]))
        return stats, problems
    # Every name comes through, also those that are not UTF-8.
    problems += zipcheck.full_check(zip_path, expected)
    if outcome["result"] != 0:
        problems.append("result %d for a tree that should archive cleanly: %s"
                        % (outcome["result"], outcome["messages"][:400]))
    if zipcheck.temporaries(out):
        problems.append("left behind: %s" % zipcheck.temporaries(out))
    return stats, problems


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--trees", type=int, default=100)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--big", action="store_true", help="bigger trees and files")
    ap.add_argument("--only", type=int, help="run one tree seed only")
    ap.add_argument("--no-bad-utf8", action="store_true")
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    args = ap.parse_args()
    cli = zipcheck.archive_cli()
    seeds = [args.only] if args.only is not None else [args.seed * 1_000_003 + i for i in range(args.trees)]
    work = tempfile.mkdtemp(prefix="qb-roundtrip-")
    totals = {"files": 0, "folders": 0, "links": 0, "bytes": 0}
    failed = 0
    start = time.time()
    try:
        for seed in seeds:
            stats, problems = check_tree(cli, work, seed, args.big, not args.no_bad_utf8)
            for k in totals:
                totals[k] += stats[k]
            if problems:
                failed += 1
                print("FAIL tree seed %d (%s): %d problems" % (seed, stats, len(problems)))
                for p in problems[:12]:
                    print("    " + p)
            if not args.keep:
                shutil.rmtree(os.path.join(work, "t%d" % seed), ignore_errors=True)
                shutil.rmtree(os.path.join(work, "out%d" % seed), ignore_errors=True)
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    print("roundtrip: %d trees, %d failed; %d files, %d folders, %d links, %.1f MiB; %.0f s"
          % (len(seeds), failed, totals["files"], totals["folders"], totals["links"],
             totals["bytes"] / 1048576, time.time() - start))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
