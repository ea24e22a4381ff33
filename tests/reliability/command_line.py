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
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile

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
    """A wrong command line exits 2 and writes nothing: an empty list, one of
    only comments, an empty standard input and an endless list among them; a
    missing output folder is a failure (1)."""
    a = tree(root, "a")
    empty, comments = os.path.join(root, "empty.txt"), os.path.join(root, "comments.txt")
    write(empty, b"")
    write(comments, b"# nothing today\n\n")
    problems = []
    for args, code in ((["--bogus", a], 2), (["--output"], 2), (["--output", root], 2),
                       (["--output", root, "--list", os.path.join(root, "no-list")], 2),
                       (["--output", root, "--output", root, a], 2), (["--beside"], 2),
                       (["--beside", "--output", root, a], 2), (["--notify", a], 2),
                       (["--output", root, "--list", empty], 2), (["--output", root, "--list", comments], 2),
                       (["--output", root, "--list", "-"], 2), (["--output", root, "--list", "/dev/zero"], 2),
                       (["--output", os.path.join(root, "no-such-folder"), a], 1)):
        p = run(args, stdin=subprocess.DEVNULL)
        if p.returncode != code:
            problems.append("%s: exit %d, expected %d" % (args, p.returncode, code))
        if not p.stderr.strip():
            problems.append("%s: nothing on stderr" % args)
    if [n for n in os.listdir(root) if n.endswith(".zip")]:   # a.zip would be beside a
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
    """A signal while a folder is zipped, or while a folder of many empty
    files is being listed: the run stops at once, exits 128 + the signal's
    number, gives up the archive it was writing and keeps the earlier one
    byte for byte, and says so; the archive already written stays."""
    out = os.path.join(root, "out")
    os.makedirs(out)
    first = tree(root, "first")
    big, many = os.path.join(root, "big"), os.path.join(root, "many")
    write(os.path.join(big, "random.bin"), os.urandom(384 << 20))
    os.makedirs(many)
    for i in range(60000):
        open(os.path.join(many, "e%05d" % i), "wb").close()
    problems = []
    for sig, folder in ((signal.SIGINT, big), (signal.SIGTERM, big), (signal.SIGHUP, big), (signal.SIGINT, many)):
        name = os.path.basename(folder)
        earlier = b"the earlier archive of " + name.encode()
        write(os.path.join(out, name + ".zip"), earlier)
        p = subprocess.Popen([PROGRAM, "-o", out, first, folder], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=ENV)
        line = p.stderr.readline()          # "[1/2] ... -> first.zip"
        p.send_signal(sig)
        said = line + p.stderr.read()
        code = p.wait(timeout=120)
        with open(os.path.join(out, name + ".zip"), "rb") as f:
            kept = f.read() == earlier
        what = "%s on %s" % (signal.Signals(sig).name, name)
        if code != 128 + sig:
            problems.append("%s: exit %d, expected %d: %r" % (what, code, 128 + sig, said[-300:]))
        if not kept or b"kept the earlier archive" not in said:
            problems.append("%s: earlier archive kept %s, said %r" % (what, kept, said[-300:]))
        if sorted(os.listdir(out)) != sorted(["first.zip", name + ".zip"]):
            problems.append("%s: output folder holds %s" % (what, sorted(os.listdir(out))))
        os.remove(os.path.join(out, name + ".zip"))
    return problems + archive_problems(os.path.join(out, "first.zip"), first)


def case_paths_and_names(root):
    """Paths resolved as the system resolves them, the run's own archives
    and a file named like the placeholder never archived, long names and
    control characters in names: archived byte for byte, shown escaped."""
    out = os.path.join(root, "P", "out")
    os.makedirs(out)
    p_folder, b_folder = tree(root, "P"), tree(root, "B")
    write(os.path.join(root, "querty"), b"not part of P")
    write(os.path.join(out, "B.zip"), b"an earlier archive this run replaces")
    long_name = "L" * 251                     # "L...L.zip" is 255 bytes
    odd = os.path.join(os.fsencode(root), b"esc\x1b[31m")
    write(os.path.join(tree(root, long_name), b"ring\x07\x01.txt".decode()), b"bell")
    write(os.path.join(odd, b"f\x1b[2J.txt"), b"esc")
    os.symlink(os.path.join(root, "B", "sub", "deeper"), os.path.join(root, "lnk"))
    p = run(["-o", out, b_folder, "lnk/..", "nosuch/..", "P", long_name, odd], cwd=root)
    problems = [] if p.returncode == 1 else ["exit %d, expected 1 for nosuch/..: %r" % (p.returncode, p.stderr)]
    if b"\x1b" in p.stderr or b"\x07" in p.stderr or b"nosuch/.." not in p.stderr:
        problems.append("stderr: raw control characters, or nosuch/.. not named: %r" % p.stderr)
    for archive, folder in (("B.zip", b_folder), ("sub.zip", os.path.join(b_folder, "sub")), ("P.zip", p_folder),
                            (long_name + ".zip", os.path.join(root, long_name)), (b"esc\x1b[31m.zip", odd)):
        expected = zipcheck.expected_entries(folder)
        if folder == p_folder:   # P holds the output folder: none of this run's archives in it
            expected = {k: v for k, v in expected.items() if not k.startswith(b"P/out/")}
            expected[b"P/out/"] = (True, os.stat(out).st_mode, None, None)
        path = os.path.join(os.fsencode(out), os.fsencode(archive))
        problems += zipcheck.full_check(os.fsdecode(path), expected, extract=False) if os.path.exists(path) else \
            ["missing archive %r" % path]
    q = run(["-o", "nosuch/..", b_folder], cwd=root)
    if q.returncode != 1 or os.path.exists(os.path.join(root, "B.zip")):
        problems.append("--output nosuch/..: exit %d, wrote into the current folder" % q.returncode)
    return problems


def case_links_and_unreadable(root):
    """A link out of the folder is stored as a link, its target's content
    never archived, unless --follow-links; a FIFO is named and the run still
    succeeds. A folder that can be listed but not entered makes the run fail
    and is named (run as an ordinary user, for whom permissions count)."""
    out = os.path.join(root, "out")
    os.makedirs(out)
    os.chmod(root, 0o755)
    os.chmod(out, 0o777)
    secret = tree(root, "elsewhere")
    folder = tree(root, "shared")
    os.symlink(os.path.join(secret, "notes.txt"), os.path.join(folder, "keys"))
    os.symlink(os.path.join(secret, "sub"), os.path.join(folder, "keydir"))
    os.mkfifo(os.path.join(folder, "pipe"))
    problems = []
    for args, follow in (([], False), (["--follow-links"], True)):
        p = run(["-o", out] + args + [folder])
        if p.returncode != 0 or b"pipe" not in p.stderr or (b"keys" in p.stderr) == follow:
            problems.append("%s: exit %d: %r" % (args, p.returncode, p.stderr))
        archive = os.path.join(out, "shared.zip")
        problems += zipcheck.full_check(archive, zipcheck.expected_entries(folder, follow), extract=False)
    nox = tree(root, "nox")
    os.chmod(os.path.join(nox, "sub"), 0o644)
    # The program and its engine where an ordinary user can run them; an
    # installed program is a link to its own folder, so copy from there.
    program = os.path.realpath(PROGRAM)
    bindir = os.path.join(root, "bin")
    os.makedirs(bindir)
    for f in [program] + [os.path.join(os.path.dirname(program), n)
                          for n in os.listdir(os.path.dirname(program)) if n.startswith("libzip32.so")]:
        shutil.copy2(f, bindir, follow_symlinks=False)
    user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
    p = subprocess.run(user + [os.path.join(bindir, os.path.basename(program)), "-o", out, nox],
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV, timeout=120)
    if p.returncode != 1 or b"nox/sub/deeper" not in p.stderr:
        problems.append("unreadable folder: exit %d: %r" % (p.returncode, p.stderr))
    return problems


def deep_tree(root, levels, name):
    """A folder `levels` deep in folders of 200-byte names, a file in each:
    its paths pass PATH_MAX (4096 bytes) half way."""
    top = os.path.join(root, name)
    os.makedirs(top)
    fd = os.open(top, os.O_RDONLY)
    for level in range(levels):
        with open(os.open("f%d.txt" % level, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "w") as f:
            f.write("level %d\n" % level)
        os.mkdir("d" * 200, dir_fd=fd)
        below = os.open("d" * 200, os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = below
    os.close(fd)
    return top


def case_own_archives_and_paths(root):
    """No run replaces an archive it wrote, none reads a relative folder from
    "/", and no path is too long: Notes and notes get Notes.zip and notes
    (2).zip on a FAT stick; a relative folder or output from a working
    folder that is gone is a command-line error; a tree deeper than PATH_MAX
    is zipped whole; zipped beside itself, a folder's archive is never put
    into the archive of the folder holding it."""
    problems, out = [], os.path.join(root, "out")
    os.makedirs(out)
    outer = tree(root, "Outer")
    p = run(["--beside", os.path.join(outer, "sub"), outer])
    names = zipfile.ZipFile(outer + ".zip").namelist() if p.returncode == 0 else []
    if p.returncode != 0 or "Outer/sub.zip" in names or not os.path.exists(os.path.join(outer, "sub.zip")):
        problems.append("beside, folder in folder: exit %d, Outer.zip holds %s" % (p.returncode, names))
    deep = deep_tree(root, 30, "Deep")
    p = run(["-o", out, deep])
    if p.returncode != 0:
        problems.append("deep tree: exit %d: %s" % (p.returncode, p.stderr[-300:]))
    if p.returncode == 0 and len(zipfile.ZipFile(os.path.join(out, "Deep.zip")).namelist()) != 61:
        problems.append("deep tree: %d entries, not 61" % len(zipfile.ZipFile(os.path.join(out, "Deep.zip")).namelist()))
    gone = os.path.join(root, "gone")
    for args in (["-o", out, "docs"], ["-o", "out", deep]):
        # Started in a folder removed under it.
        p = subprocess.run(["sh", "-c", 'mkdir -p "$1" && cd "$1" && rmdir "$1" && shift && exec "$@"', "sh", gone,
                            PROGRAM] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV, timeout=60)
        if p.returncode != 2 or b"the working folder cannot be read" not in p.stderr:
            problems.append("working folder gone, %s: exit %d: %r" % (args, p.returncode, p.stderr))
    fat, mnt = os.path.join(root, "fat.img"), os.path.join(root, "stick")
    if os.geteuid() == 0 and shutil.which("fusefat") and shutil.which("mkfs.vfat"):
        with open(fat, "wb") as f:
            f.truncate(32 << 20)
        os.makedirs(mnt)
        subprocess.run(["mkfs.vfat", fat], stdout=subprocess.DEVNULL, check=True)
        mounted = subprocess.run(["fusefat", "-o", "rw+", fat, mnt], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL).returncode == 0
        try:
            if not mounted:
                return problems   # no FUSE here
            a, b = tree(root, "a/Notes"), tree(root, "b/notes")
            p = run(["-o", mnt, a, b])
            if p.returncode != 0 or sorted(os.listdir(mnt)) != ["Notes.zip", "notes (2).zip"]:
                problems.append("FAT stick: exit %d, holds %s" % (p.returncode, os.listdir(mnt)))
            else:
                problems += archive_problems(os.path.join(mnt, "notes (2).zip"), b)
        finally:
            subprocess.run(["fusermount", "-u", mnt], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return problems


CASES = [case_folders_and_same_names, case_missing_folder, case_bad_usage, case_list_file,
         case_progress_on_terminal, case_interrupted, case_paths_and_names, case_links_and_unreadable,
         case_own_archives_and_paths]


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
