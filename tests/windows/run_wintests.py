#!/usr/bin/env python3
"""The engine on Windows: zip32.dll driven by zip32_wintest.exe under Wine,
every archive read back with Linux tools (unzip, 7zz, bsdtar, Python's
zipfile and the header lint of tests/support/zipcheck.py). Wine's Z: drive
is the Linux file system, so both sides see the same files.

    run_wintests.py --bin DIR --linux-cli PATH --work DIR

DIR holds zip32.dll and zip32_wintest.exe; PATH is the Linux build's
zip32_cli, for the archive both builds must make byte for byte alike. Prints
one line per case and "windows: N passed, N failed"; exits 1 on a failure."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import zipcheck  # noqa: E402

FIXED_TIME = 1715000000  # 2024-05-06, whole seconds as every file system keeps them


def win(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def write(path, data=b""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as fh:
        fh.write(data)


def ordinary_tree(folder):
    write(os.path.join(folder, "readme.txt"), b"hello, Windows\r\n" * 40)
    write(os.path.join(folder, "empty.dat"))
    write(os.path.join(folder, "noise.bin"), os.urandom(300000))
    write(os.path.join(folder, "sub", "deeper", "log.txt"), b"".join(b"line %d\n" % i for i in range(5000)))
    # Over 8 MiB: read in pieces by several workers.
    write(os.path.join(folder, "sub", "big.txt"), b"".join(b"row %08d of the big file\n" % i for i in range(400000)))
    write(os.path.join(folder, ".dotfile"), b"hidden on both systems")


class WineError(Exception):
    """Wine could not set up or run what it was asked to."""


class Run:
    """One program run: its result, what it printed (standard output, the
    engine's messages) and what it and Wine printed on standard error."""

    def __init__(self, result, output, errors):
        self.result, self.output, self.errors = result, output, errors

    def said(self):
        """What the run printed, for a failure's report."""
        lines = ["program printed: " + (self.output.strip().replace("\n", " | ") or "nothing")]
        if self.errors.strip():
            lines.append("Wine printed: " + self.errors.strip().replace("\n", " | "))
        return lines


class Wine:
    """One throwaway Wine prefix, its server kept running between runs."""

    def __init__(self, prefix, bin_dir):
        self.bin = bin_dir
        # Wine's own error messages are kept: a run that fails prints them.
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all,err+all", WINEARCH="win64",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(name, None)

    # Wine leaves its server and services running, holding whatever output
    # they were started with: a run's output goes to files, so that nothing
    # waits for a pipe they keep open.
    def _quiet(self, cmd, timeout):
        subprocess.run(cmd, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout, check=False)

    def _must(self, cmd, timeout):
        with tempfile.TemporaryFile() as out:
            try:
                p = subprocess.run(cmd, env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                   timeout=timeout, check=False)
                failure = "exit status %d" % p.returncode if p.returncode != 0 else None
            except subprocess.TimeoutExpired:
                failure = "still running after %d s" % timeout
            if failure:
                out.seek(0)
                raise WineError("%s: %s: %s" % (" ".join(cmd), failure,
                                                out.read().decode("utf-8", "replace").strip() or "nothing printed"))

    def start(self):
        """Sets the prefix up and leaves a booted server that stays up, so
        that no run meets a server starting, booting or shutting down.
        A server an earlier run left is ended first. wineboot makes a new
        prefix (or brings one up to date) and waits for it; the server it
        starts shuts down by itself once the last program of the prefix has
        ended, and is waited for. A server that stays up can only be
        started for a prefix that exists (for a new one, wineserver -p fails
        with "chdir ... No such file or directory"); wineboot then boots
        Wine's session on it before the first run."""
        self._quiet(["wineserver", "-k"], 60)
        self._must(["wineserver", "-w"], 600)
        self._must(["wineboot", "-i"], 600)
        self._must(["wineserver", "-w"], 600)
        self._must(["wineserver", "-p"], 60)
        self._must(["wineboot", "-i"], 600)

    def stop(self):
        self._quiet(["wineserver", "-k"], 60)

    def zip(self, args):
        return self.zip_at_once(args, 1)[0]

    def zip_at_once(self, args, count):
        """Runs `count` programs with the same arguments side by side; their
        Runs, in order."""
        runs = []
        for _ in range(count):
            out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
            runs.append((subprocess.Popen(["wine", os.path.join(self.bin, "zip32_wintest.exe")] + args,
                                          env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=err),
                         out, err))
        results = []
        for p, out, err in runs:
            try:
                result = p.wait(timeout=300)
                late = ""
            except subprocess.TimeoutExpired:
                p.kill()
                result = p.wait()
                late = "\n(killed: still running after 300 s)"
            texts = []
            for f in (out, err):
                f.seek(0)
                texts.append(f.read().decode("utf-8", "replace"))
                f.close()
            results.append(Run(result, texts[0], texts[1] + late))
        return results


# Each case makes its tree under `case` and returns (wintest arguments,
# archive path, expected result, expected entries or None for no archive,
# texts the messages must hold). Paths in arguments are Windows paths.

def case_ordinary(case):
    tree = os.path.join(case, "Trip")
    ordinary_tree(tree)
    out = os.path.join(case, "Trip.zip")
    return (["--root", win(case), "--walk", win(out), win(tree)], out, 0,
            zipcheck.expected_entries(tree), [])


def case_scripts(case):
    tree = os.path.join(case, "Scripts")
    for name in ["Ελληνικά.txt", "Русский.txt", "עברית.txt", "العربية.txt", "中文文件.txt",
                 "日本語のファイル.txt", "한국어.txt", "हिन्दी.txt", "emoji 😀🎉.txt", "café Ünïcödé"]:
        write(os.path.join(tree, name, "inner.txt") if "." not in name else os.path.join(tree, name),
              name.encode("utf-8") * 10)
    out = os.path.join(case, "Scripts.zip")
    return (["--root", win(case), "--walk", win(out), win(tree)], out, 0,
            zipcheck.expected_entries(tree), [])


def case_hidden_system(case):
    tree = os.path.join(case, "Marked")
    write(os.path.join(tree, "shown.txt"), b"kept")
    write(os.path.join(tree, "secret.txt"), b"left out")
    write(os.path.join(tree, "Secret Folder", "inside.txt"), b"left out too")
    expected = zipcheck.expected_entries(tree)
    for name in (b"Marked/secret.txt", b"Marked/Secret Folder/", b"Marked/Secret Folder/inside.txt"):
        del expected[name]
    out = os.path.join(case, "Marked.zip")
    # The engine's own walk (recurse), so that its rule is what leaves them out.
    return (["--root", win(case), "--recurse", "--hide", win(os.path.join(tree, "secret.txt")),
             "--hide", win(os.path.join(tree, "Secret Folder")), win(out), win(tree) + "\\*.*"],
            out, 0, expected, [])


def case_read_only(case):
    tree = os.path.join(case, "Locked")
    write(os.path.join(tree, "plain.txt"), b"plain")
    write(os.path.join(tree, "read-only.txt"), b"read-only data")
    out = os.path.join(case, "Locked.zip")
    # Wine turns the attribute into the file's mode, which the expectation
    # reads after the run: 0444, with the MS-DOS read-only bit.
    return (["--root", win(case), "--walk", "--read-only", win(os.path.join(tree, "read-only.txt")),
             win(out), win(tree)], out, 0, lambda: zipcheck.expected_entries(tree), [])


def case_empty_folder(case):
    tree = os.path.join(case, "Hollow")
    os.makedirs(os.path.join(tree, "nothing here", "nor here"))
    write(os.path.join(tree, "one.txt"), b"1")
    out = os.path.join(case, "Hollow.zip")
    return (["--root", win(case), "--walk", win(out), win(tree)], out, 0, zipcheck.expected_entries(tree), [])


def case_long_path(case):
    tree = os.path.join(case, "Long")
    deep = os.path.join(tree, *["a folder with a rather long name %02d" % i for i in range(9)])
    write(os.path.join(deep, "far down.txt"), b"more than 260 characters from the drive")
    assert len(win(os.path.join(deep, "far down.txt"))) > 300
    out = os.path.join(case, "Long.zip")
    return (["--root", win(case), "--walk", win(out), win(tree)], out, 0, zipcheck.expected_entries(tree), [])


def case_held_deny_write(case):
    tree = os.path.join(case, "Busy")
    write(os.path.join(tree, "open elsewhere.log"), b"another program writes here\n" * 100)
    write(os.path.join(tree, "calm.txt"), b"calm")
    out = os.path.join(case, "Busy.zip")
    return (["--root", win(case), "--walk", "--hold-deny-write", win(os.path.join(tree, "open elsewhere.log")),
             win(out), win(tree)], out, 0, zipcheck.expected_entries(tree), [])


def case_unreadable(case):
    tree = os.path.join(case, "Guarded")
    write(os.path.join(tree, "locked.db"), b"nobody else may read this")
    write(os.path.join(tree, "free.txt"), b"free")
    expected = zipcheck.expected_entries(tree)
    del expected[b"Guarded/locked.db"]
    out = os.path.join(case, "Guarded.zip")
    locked = win(os.path.join(tree, "locked.db"))
    return (["--root", win(case), "--walk", "--hold-exclusive", locked, win(out), win(tree)],
            out, 18, expected, [locked + ": "])


def case_missing_output(case):
    tree = os.path.join(case, "Source")
    write(os.path.join(tree, "a.txt"), b"a")
    out = os.path.join(case, "not there", "Source.zip")
    return (["--root", win(case), "--walk", win(out), win(tree)], out, 15, None,
            [win(out) + ": cannot write ("])


def case_replace(case):
    tree = os.path.join(case, "Again")
    write(os.path.join(tree, "new.txt"), b"the new archive's file")
    out = os.path.join(case, "Again.zip")
    write(out, b"an older archive under the same name" * 100)
    return (["--root", win(case), "--walk", win(out), win(tree)], out, 0, zipcheck.expected_entries(tree), [])


def case_update(case):
    tree = os.path.join(case, "Kept")
    write(os.path.join(tree, "new.txt"), b"added by the update")
    out = os.path.join(case, "Kept.zip")
    with zipfile.ZipFile(out, "w") as z:
        info = zipfile.ZipInfo("Kept/old.txt", (2020, 1, 2, 3, 4, 6))
        info.external_attr = 0o100644 << 16
        z.writestr(info, b"there before")
    expected = zipcheck.expected_entries(tree)
    expected[b"Kept/old.txt"] = (False, 0o100644, None, b"there before")
    return (["--root", win(case), "--walk", "--update", win(out), win(tree)], out, 0, expected, [])


def case_exit_while_writing(case):
    tree = os.path.join(case, "Closed")
    write(os.path.join(tree, "large.bin"), os.urandom(40 << 20))
    out = os.path.join(case, "Closed.zip")
    return (["--root", win(case), "--walk", "--exit-while-writing", win(out), win(tree)], out, 0, None, [])


def case_temporaries_and_long_name(case):
    # Another run's temporary file is never archived, even with hidden files
    # taken in; an archive whose name takes all 255 bytes is written.
    tree = os.path.join(case, "Spare")
    write(os.path.join(tree, "kept.txt"), b"kept")
    write(os.path.join(tree, ".Other.zip.0123abcd.tmp"), b"another run's temporary file")
    out = os.path.join(case, "n" * 251 + ".zip")
    return (["--root", win(case), "--walk", "--hidden", win(out), win(tree)], out, 0,
            zipcheck.expected_entries(tree), [])


CASES = [
    ("ordinary tree", case_ordinary),
    ("names in several scripts", case_scripts),
    ("hidden and system marks", case_hidden_system),
    ("read-only file", case_read_only),
    ("empty folders", case_empty_folder),
    ("path over 260 characters", case_long_path),
    ("file held open, writing denied", case_held_deny_write),
    ("file held open, nothing shared", case_unreadable),
    ("output folder missing", case_missing_output),
    ("existing archive replaced", case_replace),
    ("existing archive updated", case_update),
    ("program ends while writing", case_exit_while_writing),
    ("temporary files, a 255-byte archive name", case_temporaries_and_long_name),
]


def checked(runs, check):
    """The problems `check` adds to the list it is given (a check that
    breaks is one), followed by what each run printed when there are any."""
    problems = []
    try:
        check(problems)
    except Exception as e:
        problems.append("%s: %s" % (type(e).__name__, e))
    if problems:
        for run in runs:
            problems += run.said()
    return problems


def run_case(wine, case, make):
    args, out, want_result, expected, texts = make(case)
    run = wine.zip(args)

    def check(problems):
        if run.result != want_result:
            problems.append("result %d, want %d" % (run.result, want_result))
        for text in texts:
            if text not in run.output:
                problems.append("messages lack %r" % text)
        folder = os.path.dirname(out)
        if os.path.isdir(folder) and zipcheck.temporaries(folder):
            problems.append("left behind: %s" % zipcheck.temporaries(folder))
        if expected is None:
            if os.path.exists(out):
                problems.append("an archive was written")
        else:
            problems += zipcheck.full_check(out, expected() if callable(expected) else expected)
    return checked([run], check)


def twin_tree(tree):
    ordinary_tree(tree)
    write(os.path.join(tree, "Ελληνικά και 中文", "κείμενο.txt"), "κείμενο 文本".encode("utf-8") * 50)
    write(os.path.join(tree, "read-only.txt"), b"kept as it is")
    os.chmod(os.path.join(tree, "read-only.txt"), 0o444)
    return True


def linked_tree(tree):
    # A link to a file, and one back up to the folder itself: the loop check
    # (file identity on Windows) ends the walk.
    write(os.path.join(tree, "sub", "inside.txt"), b"inside")
    write(os.path.join(tree, "target.txt"), b"the link's target")
    os.symlink("target.txt", os.path.join(tree, "link to target.txt"))
    os.symlink("..", os.path.join(tree, "sub", "back up"))
    return False   # a loop: no expectation walked from it


def same_bytes_case(wine, case, linux_cli, make_tree):
    """The same tree, same times and modes: the Linux and the Windows build
    write the same bytes."""
    tree = os.path.join(case, "Twin")
    walkable = make_tree(tree)
    for dirpath, dirnames, filenames in os.walk(tree):
        for name in dirnames + filenames:
            os.utime(os.path.join(dirpath, name), (FIXED_TIME, FIXED_TIME), follow_symlinks=False)
    os.utime(tree, (FIXED_TIME, FIXED_TIME))
    linux_zip = os.path.join(case, "linux.zip")
    windows_zip = os.path.join(case, "windows.zip")
    p = subprocess.run([linux_cli, "--root", case, "--recurse", linux_zip, tree + "/*.*"],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    run = wine.zip(["--root", win(case), "--recurse", win(windows_zip), win(tree) + "\\*.*"])

    def check(problems):
        if p.returncode != 0:
            problems.append("Linux build: result %d: %s" % (
                p.returncode, p.stdout.decode("utf-8", "replace").strip().replace("\n", " | ")))
        if run.result != 0:
            problems.append("Windows build: result %d" % run.result)
        if problems:
            return
        problems += (zipcheck.full_check(windows_zip, zipcheck.expected_entries(tree)) if walkable
                     else zipcheck.readers_accept(windows_zip) + zipcheck.lint(windows_zip))
        with open(linux_zip, "rb") as a, open(windows_zip, "rb") as b:
            if a.read() != b.read():
                problems.append("the two archives differ")
    return checked([run], check)


def writers_at_once_case(wine, case):
    """Three programs write the same archive over and over at once: none
    removes another's temporary file, and a complete archive stays. Each
    holds the archive it replaces while it reads from it; where the system
    renames over no file another holds (Wine, Windows before 10), a writer
    may find it held past its waits, and says so."""
    tree = os.path.join(case, "Shared")
    for name in ("a.txt", "b.txt", "c.txt"):
        write(os.path.join(tree, name), name.encode() * 500)
    out = os.path.join(case, "Shared.zip")
    runs = wine.zip_at_once(["--root", win(case), "--walk", "--repeat", "60", win(out), win(tree)], 3)
    held = "cannot write (another program holds it, and the earlier archive is kept"

    def check(problems):
        problems += ["result %d" % run.result for run in runs
                     if run.result != 0 and not (run.result == 15 and held in run.output)]
        if zipcheck.temporaries(case):
            problems.append("left behind: %s" % zipcheck.temporaries(case))
        problems += zipcheck.full_check(out, zipcheck.expected_entries(tree))
    return checked(runs, check)


def small_tree(tree):
    """A dozen notes, a photo and a page: the number of files."""
    for i in range(12):
        write(os.path.join(tree, "notes", "note %02d.txt" % i), b"note %d, kept for later\n" % i * 400)
    write(os.path.join(tree, "photo.raw"), os.urandom(3 << 20))
    write(os.path.join(tree, "page.txt"), b"the first version of the page\n" * 50)
    return 14


def same_size_edit(tree):
    """The page edited to the same size, its modification time put back."""
    page = os.path.join(tree, "page.txt")
    st = os.stat(page)
    write(page, b"THE OTHER VERSION OF THE PAGE\n" * 50)
    os.utime(page, ns=(st.st_atime_ns, st.st_mtime_ns))


def opened(messages):
    """The files the engine opened to read, as zip32_wintest counts them."""
    for line in messages.splitlines():
        if line.startswith("opened "):
            return int(line.split()[1])
    return -1


# Re-runs: (title, the volume the engine is shown, the change between the
# runs, how many files the re-run reads: the index alone, it and the one
# changed file, or every file).
RERUNS = [
    ("re-run, nothing changed", None, None, "index"),
    ("re-run, same size edited, old time put back", None, same_size_edit, "one"),
    ("re-run on FAT32", "FAT32", None, "all"),
    ("re-run on exFAT", "exFAT", same_size_edit, "all"),
    ("re-run on a network drive that says NTFS", "remote", None, "all"),
]


def rerun_case(wine, case, volume, change, reads):
    """A re-run reads only what it cannot vouch for, and writes the very
    bytes a fresh run writes."""
    tree = os.path.join(case, "Album")
    files = small_tree(tree)
    time.sleep(0.1)   # every change older than the first run's start
    out, fresh = os.path.join(case, "Album.zip"), os.path.join(case, "fresh", "Album.zip")
    os.makedirs(os.path.dirname(fresh))
    args = ["--count-opens"] + (["--volume", volume] if volume else []) + ["--root", win(case), "--walk"]
    runs = []
    for target, before in ((out, None), (out, change), (fresh, None)):
        if before:
            before(tree)
        runs.append(wine.zip(args + [win(target), win(tree)]))

    def check(problems):
        problems += ["run %d: result %d" % (n, r.result) for n, r in enumerate(runs, 1) if r.result != 0]
        want, read = {"index": 1, "one": 2, "all": files}[reads], opened(runs[1].output)
        if read < want or (reads != "all" and read != want):
            problems.append("the re-run opened %d files to read, want %s%d"
                            % (read, "at least " if reads == "all" else "", want))
        with open(out, "rb") as a, open(fresh, "rb") as b:
            if a.read() != b.read():
                problems.append("the re-run's archive differs from a fresh run's")
        problems += zipcheck.full_check(out, zipcheck.expected_entries(tree))
    return checked(runs, check)


# An archive held by another program as it is replaced: (title, the
# conditions, the result, a text the messages hold, whether the earlier
# archive stays as it was, the attributes the archive ends with).
HELD = [
    ("archive held a moment", ["--refuse-renames", "3"], 0, None, False, None),
    ("archive held throughout", ["--refuse-renames", "1000"], 15,
     "cannot write (another program holds it, and the earlier archive is kept", True, None),
    ("stopped while the archive is held", ["--refuse-renames", "1000", "--stop-when-refused"], 21,
     "not written, stopped", True, None),
    ("hidden, system and read-only kept", ["--hide", "ARCHIVE", "--read-only", "ARCHIVE"], 0, None, False, 0x7),
]


def held_case(wine, case, conditions, want_result, text, kept, attributes):
    tree = os.path.join(case, "Held")
    write(os.path.join(tree, "letter.txt"), b"the letter as it is now\n" * 100)
    out = os.path.join(case, "Held.zip")
    write(out, b"the earlier archive" * 100)
    conditions = [win(out) if c == "ARCHIVE" else c for c in conditions]
    run = wine.zip(conditions + ["--show", win(out), "--root", win(case), "--walk", win(out), win(tree)])

    def check(problems):
        if run.result != want_result:
            problems.append("result %d, want %d" % (run.result, want_result))
        if text and text not in run.output:
            problems.append("messages lack %r" % text)
        if zipcheck.temporaries(case):
            problems.append("left behind: %s" % zipcheck.temporaries(case))
        if kept:
            with open(out, "rb") as f:
                if f.read() != b"the earlier archive" * 100:
                    problems.append("the earlier archive was changed")
        else:
            problems += zipcheck.full_check(out, zipcheck.expected_entries(tree))
        if attributes is not None and ("attributes 0x%x," % (0x20 | attributes)) not in run.output:
            problems.append("attributes not kept")
    return checked([run], check)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin", required=True)
    ap.add_argument("--linux-cli", required=True)
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    os.umask(0o022)
    work = os.path.abspath(args.work)
    trees = os.path.join(work, "cases")
    if os.path.exists(trees):
        # Files a case left read-only are removed all the same.
        subprocess.run(["chmod", "-R", "u+w", trees], check=False)
        shutil.rmtree(trees)
    os.makedirs(work, exist_ok=True)
    wine = Wine(os.path.join(work, "wineprefix"), os.path.abspath(args.bin))
    passed = failed = 0
    started = time.monotonic()
    try:
        wine.start()
    except WineError as e:
        print("windows: Wine could not be set up: %s" % e)
        return 1
    try:
        runs = [(title, lambda c, m=make: run_case(wine, c, m)) for title, make in CASES]
        for title, make_tree in (("same bytes as the Linux build", twin_tree),
                                 ("links and a loop as on Linux", linked_tree)):
            runs.append((title, lambda c, m=make_tree: same_bytes_case(wine, c, args.linux_cli, m)))
        runs.append(("writers at once", lambda c: writers_at_once_case(wine, c)))
        runs += [(row[0], lambda c, r=row: rerun_case(wine, c, *r[1:])) for row in RERUNS]
        runs += [(row[0], lambda c, r=row: held_case(wine, c, *r[1:])) for row in HELD]
        for n, (title, run) in enumerate(runs, 1):
            case = os.path.join(trees, "%02d" % n)
            os.makedirs(case)
            case_started = time.monotonic()
            try:
                problems = run(case)
            except Exception as e:  # a case that breaks is a failure, not the end
                problems = ["%s: %s" % (type(e).__name__, e)]
            if problems:
                failed += 1
                print("FAIL %s (%.1f s)" % (title, time.monotonic() - case_started))
                for p in problems:
                    print("     %s" % p)
            else:
                passed += 1
                print("ok   %s (%.1f s)" % (title, time.monotonic() - case_started))
            sys.stdout.flush()
    finally:
        wine.stop()
    print("windows tests: %.0f s" % (time.monotonic() - started))
    print("windows: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
