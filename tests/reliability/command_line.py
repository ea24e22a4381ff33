#!/usr/bin/env python3
"""The program as a script uses it: `quillbarrow --output DIR FOLDER...`,
with no display. Each case builds its folders, runs the program, and checks
the exit code, what standard error says, and every archive, read back by
unzip, 7-Zip, bsdtar and Python's zipfile against the folder's non-hidden
files.

    command_line.py PROGRAM

PROGRAM is the build's bin/quillbarrow or the installed /usr/bin/quillbarrow.
Prints one line per failing case and a summary; exits 1 on any failure."""

import os
import pty
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import zipcheck  # noqa: E402

PROGRAM = None
ENV = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}


def write(path, data=b"x"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def tree(root, name):
    """A folder with text, a sub-folder, an empty folder and hidden items."""
    folder = os.path.join(root, name)
    write(os.path.join(folder, "notes.txt"), b"notes of " + name.encode() * 200)
    write(os.path.join(folder, "sub", "deeper", "data.bin"), os.urandom(5000))
    os.makedirs(os.path.join(folder, "empty"))
    write(os.path.join(folder, ".hidden"), b"secret")
    write(os.path.join(folder, ".cache", "index"), b"secret")
    return folder


def run(args, timeout=300, **kw):
    return subprocess.run([PROGRAM] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=ENV, timeout=timeout, **kw)


def archive_problems(archive, folder):
    archive = os.fsdecode(archive)
    if not os.path.exists(archive):
        return ["missing archive " + archive]
    return zipcheck.full_check(archive, zipcheck.expected_entries(folder), extract=False)


# ---------------------------------------------------------------- cases

def case_folders_and_same_names(root):
    """Folders given by full and relative paths, two of them sharing a name:
    one archive each, the later one renamed, each holding exactly its
    folder's non-hidden files."""
    out = os.path.join(root, "out")
    os.makedirs(out)
    a, b = tree(root, "a/docs"), tree(root, "b/docs")
    c = tree(root, "Fotos Übersicht")
    p = run(["--output", out, a, "b/docs/", c], cwd=root)
    problems = [] if p.returncode == 0 else ["exit %d: %s" % (p.returncode, p.stderr.decode())]
    for archive, folder in (("docs.zip", a), ("docs (2).zip", b), ("Fotos Übersicht.zip", c)):
        problems += archive_problems(os.path.join(out, archive), folder)
    if sorted(os.listdir(out)) != sorted(["docs.zip", "docs (2).zip", "Fotos Übersicht.zip"]):
        problems.append("output folder holds %s" % os.listdir(out))
    return problems


def case_missing_folder(root):
    """A missing folder is named, fails the run, and leaves the archive an
    earlier run made of it alone; the others are still zipped."""
    out = os.path.join(root, "out")
    write(os.path.join(out, "gone.zip"), b"an earlier archive")
    a = tree(root, "here")
    p = run(["-o", out, os.path.join(root, "gone"), a])
    problems = []
    if p.returncode != 1:
        problems.append("exit %d, expected 1" % p.returncode)
    if b"gone" not in p.stderr:
        problems.append("stderr does not name the missing folder: %r" % p.stderr)
    with open(os.path.join(out, "gone.zip"), "rb") as f:
        if f.read() != b"an earlier archive":
            problems.append("the earlier archive of the missing folder was changed")
    return problems + archive_problems(os.path.join(out, "here.zip"), a)


def case_bad_usage(root):
    """A wrong command line exits 2 and writes nothing; a missing output
    folder is a failure (1)."""
    a = tree(root, "a")
    problems = []
    for args, code in ((["--bogus", a], 2), (["--output"], 2), (["--output", root], 2),
                       (["--output", root, "--list", os.path.join(root, "no-list")], 2),
                       (["--output", root, "--output", root, a], 2),
                       (["--output", os.path.join(root, "no-such-folder"), a], 1)):
        p = run(args)
        if p.returncode != code:
            problems.append("%s: exit %d, expected %d" % (args, p.returncode, code))
        if not p.stderr.strip():
            problems.append("%s: nothing on stderr" % args)
    if [n for n in os.listdir(root) if n.endswith(".zip")]:
        problems.append("an archive was written: %s" % os.listdir(root))
    return problems


def case_list_file(root):
    """--list: one folder a line, from a file or standard input, with comments,
    blank lines, CR-LF endings and a name that is not UTF-8."""
    out = os.path.join(root, "out")
    os.makedirs(out)
    a = tree(root, "alpha")
    odd = os.path.join(os.fsencode(root), b"caf\xe9")
    os.makedirs(odd)
    write(os.path.join(odd, b"menu.txt"), b"soup")
    listing = b"# nightly\r\n\r\n" + os.fsencode(a) + b"\r\n" + odd + b"\n"
    p = run(["--quiet", "--output", out, "--list", "-"], input=listing)
    problems = [] if p.returncode == 0 else ["exit %d: %s" % (p.returncode, p.stderr.decode())]
    if p.stderr:
        problems.append("--quiet still printed: %r" % p.stderr)
    problems += archive_problems(os.path.join(out, "alpha.zip"), a)
    problems += archive_problems(os.path.join(os.fsencode(out), b"caf\xe9.zip"), odd)
    return problems


def case_progress_on_terminal(root):
    """On a terminal, progress is one line redrawn in place; elsewhere, one
    line per folder."""
    out = os.path.join(root, "out")
    os.makedirs(out)
    a = tree(root, "a")
    write(os.path.join(a, "big.bin"), os.urandom(4 << 20))
    primary, secondary = pty.openpty()
    p = subprocess.Popen([PROGRAM, "-o", out, a], stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=secondary, env=ENV)
    os.close(secondary)
    seen = b""
    while True:
        try:
            chunk = os.read(primary, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    os.close(primary)
    problems = [] if p.wait(timeout=120) == 0 else ["exit %d" % p.returncode]
    if b"\r" not in seen or b"[1/1]" not in seen:
        problems.append("no redrawn progress line on a terminal: %r" % seen[-300:])
    p = run(["-o", out, a])
    if p.stderr.count(b"\n") != 1 or b"\r" in p.stderr or b"a.zip" not in p.stderr:
        problems.append("not one line per folder off a terminal: %r" % p.stderr)
    return problems


def case_interrupted(root):
    """SIGINT while an archive is being written: the program ends by the
    signal, the archive it was writing is gone without a trace, and the one
    already written stays."""
    out = os.path.join(root, "out")
    os.makedirs(out)
    first = tree(root, "first")
    big = os.path.join(root, "big")
    os.makedirs(big)
    with open(os.path.join(big, "random.bin"), "wb") as f:
        for _ in range(48):
            f.write(os.urandom(8 << 20))
    p = subprocess.Popen([PROGRAM, "-o", out, first, big], stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=ENV)
    line = p.stderr.readline()          # "[1/2] ... -> first.zip"
    time.sleep(0.05)
    p.send_signal(signal.SIGINT)
    rest = p.stderr.read()
    code = p.wait(timeout=120)
    problems = []
    if code == 0:
        return ["the run ended before the signal arrived; inconclusive: %r" % rest]
    if code != -signal.SIGINT:
        problems.append("exit %d, expected death by SIGINT: %r" % (code, line + rest))
    if sorted(os.listdir(out)) != ["first.zip"]:
        problems.append("output folder holds %s" % sorted(os.listdir(out)))
    return problems + archive_problems(os.path.join(out, "first.zip"), first)


CASES = [case_folders_and_same_names, case_missing_folder, case_bad_usage, case_list_file,
         case_progress_on_terminal, case_interrupted]


def main():
    global PROGRAM
    if len(sys.argv) != 2 or not os.access(sys.argv[1], os.X_OK):
        raise SystemExit("usage: command_line.py PROGRAM")
    PROGRAM = os.path.abspath(sys.argv[1])
    failed = 0
    for case in CASES:
        with tempfile.TemporaryDirectory(prefix="qb-cli-") as root:
            problems = case(root)
        for problem in problems:
            print("%s: %s" % (case.__name__, problem))
        failed += bool(problems)
    print("command line: %d cases, %d failed" % (len(CASES), failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
