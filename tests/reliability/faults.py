#!/usr/bin/env python3
"""Faults injected while the program archives, through its own code path
(qb_archive_cli runs ArchiveFolder, the code behind "Start Zipping", in a
process of its own). Each case is bounded by a timeout. After each:

  * no file under an archive's final name unless it is complete and valid
    (four readers, header lint, every byte);
  * no temporary file left after a clean exit;
  * the other folders of the run archived;
  * the user shown what went wrong (a non-zero result with messages).

Cases that need root (a private mount namespace, dropping privileges, device
nodes) are skipped when not run as root. Known faults are listed in KNOWN:
they print XFAIL and do not fail the run; if one starts passing it prints
XPASS and fails, so the mark gets removed.

    faults.py [--only NAME] [--kills N]"""

import argparse
import json
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True   # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import zipcheck  # noqa: E402

CLI = None
KNOWN = {
}
RESULTS = {"injected": 0, "passed": 0, "xfail": 0, "failed": 0, "skipped": 0}
FIGURES = {"kills": 0, "kills_complete_archive": 0, "kills_no_archive": 0, "kills_temp_left": 0,
           "deleted_left_out": 0, "deleted_stored_whole": 0, "changing_reported": 0, "changing_same": 0}


class Problem(Exception):
    pass


def need(cond, text):
    if not cond:
        raise Problem(text)


def write(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as fh:
        fh.write(data)
    os.chmod(path, mode)


def small_tree(root, seed=1):
    rng = random.Random(seed)
    write(os.path.join(root, "a.txt"), b"alpha\n" * 100)
    write(os.path.join(root, "sub", "b.bin"), rng.randbytes(5000))
    write(os.path.join(root, "sub", "deeper", "c.txt"), b"")
    os.makedirs(os.path.join(root, "empty"), exist_ok=True)


def big_tree(root, files=40, size=256 * 1024, seed=2):
    rng = random.Random(seed)
    for i in range(files):
        write(os.path.join(root, "d%d" % (i % 4), "f%03d.bin" % i), rng.randbytes(size))


def run_cli(out_text, folders, timeout=120, preexec=None, prefix=()):
    p = subprocess.run(list(prefix) + [CLI, out_text] + list(folders), stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=timeout, preexec_fn=preexec)
    lines = [json.loads(l) for l in p.stdout.decode().splitlines() if l.startswith("{")]
    return p.returncode, lines, p.stderr.decode("utf-8", "replace")


def outcome_sound(o, expected, archive=None):
    """One folder's outcome: written and valid, or absent and explained."""
    archive = archive or o["archive"]
    need(not o["errors"], "trapped errors: %s" % o["errors"])
    if os.path.exists(archive):
        problems = zipcheck.full_check(archive, expected)
        need(not problems, "archive %s unsound: %s" % (archive, problems[:6]))
        need(o["result"] == 0 or o["messages"].strip(), "result %d without messages" % o["result"])
        return True
    need(o["result"] != 0, "result 0 but no archive at %s" % archive)
    need(o["messages"].strip(), "no archive and nothing said")
    return False


def wait_for_temp(folder, stop, timeout=30):
    end = time.time() + timeout
    while time.time() < end and not stop.is_set():
        try:
            if zipcheck.temporaries(folder):
                return True
        except FileNotFoundError:
            pass
        time.sleep(0.0005)
    return False


# ---- cases -------------------------------------------------------------------

def case_output_inside_folder(w):
    """The output folder inside the folder being zipped, twice (the second
    run finds the first archive there)."""
    a = os.path.join(w, "A")
    small_tree(a)
    out = os.path.join(a, "out")
    os.makedirs(out)
    expected = zipcheck.expected_entries(a)
    # The output folder changes while the archive is written into it: its
    # time is whatever it was when the engine looked.
    key = b"A/out/"
    expected[key] = expected[key][:2] + (None,) + expected[key][3:]
    for _ in range(2):
        rc, lines, err = run_cli(out + "/", [a])
        need(rc == 0 and lines, "archiver exit %d %s" % (rc, err[-300:]))
        need(outcome_sound(lines[0], expected), "no archive")
        need(lines[0]["result"] == 0, "result %d: %s" % (lines[0]["result"], lines[0]["messages"]))
        need(not zipcheck.temporaries(out), "temporary left: %s" % zipcheck.temporaries(out))


def case_output_read_only(w):
    """A read-only output folder: refused with the system's reason, nothing
    written; run without root so the mode counts."""
    if os.geteuid() != 0:
        return "skip: needs root to drop privileges"
    a = os.path.join(w, "A")
    small_tree(a)
    out = os.path.join(w, "out")
    os.makedirs(out)
    for d in (w, a, out):
        os.chmod(d, 0o755)
    for dirpath, dirs, files in os.walk(a):
        for n in dirs:
            os.chmod(os.path.join(dirpath, n), 0o755)
        for n in files:
            os.chmod(os.path.join(dirpath, n), 0o644)
    os.chmod(out, 0o555)
    env_home = tempfile.mkdtemp(prefix="qb-home-")
    os.chmod(env_home, 0o777)
    try:
        prefix = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env", "HOME=" + env_home]
        rc, lines, err = run_cli(out + "/", [a], prefix=prefix)
    finally:
        shutil.rmtree(env_home, ignore_errors=True)
    need(rc == 0 and lines, "archiver exit %d %s" % (rc, err[-300:]))
    o = lines[0]
    need(not outcome_sound(o, {}), "an archive was written into a read-only folder")
    need("ermission denied" in o["messages"], "the system's reason is not shown: %r" % o["messages"])
    need(os.listdir(out) == [], "written: %s" % os.listdir(out))


def case_output_removed(w):
    """The output folder removed while an archive is being written, then made
    again: that folder fails with a message (or, removed before the engine
    held its temporary file, is written whole into the new folder); the next
    one is archived."""
    a, b = os.path.join(w, "A"), os.path.join(w, "B")
    big_tree(a, files=120)
    small_tree(b)
    out = os.path.join(w, "out")
    os.makedirs(out)
    exp_b = zipcheck.expected_entries(b)
    stop = threading.Event()
    hit = []

    def remover():
        if wait_for_temp(out, stop):
            shutil.rmtree(out)
            os.makedirs(out)
            hit.append(True)

    t = threading.Thread(target=remover)
    t.start()
    try:
        rc, lines, err = run_cli(out + "/", [a, b])
    finally:
        stop.set()
        t.join()
    need(rc == 0 and len(lines) == 2, "archiver exit %d %s" % (rc, err[-300:]))
    if not hit:
        return "skip: the archive was finished before the folder could be removed"
    # Removed before the engine held its temporary file, the folder made again
    # takes a complete A.zip; removed later, A fails and says why.
    outcome_sound(lines[0], zipcheck.expected_entries(a))
    need(outcome_sound(lines[1], exp_b), "B not archived: %s" % lines[1]["messages"])
    need(zipcheck.temporaries(out) == [], "temporary left: %s" % zipcheck.temporaries(out))


INNER_FULL = r"""
import json, os, subprocess, sys
sys.dont_write_bytecode = True
sys.path.insert(0, %(here)r)
import zipcheck
out, free, a, b, cli = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", out], check=True)
with open(os.path.join(out, "A.zip"), "wb") as fh:
    fh.write(b"the earlier archive of A")
st = os.statvfs(out)
avail = st.f_bavail * st.f_frsize
with open(os.path.join(out, "filler"), "wb") as fh:
    fh.write(b"\0" * max(0, avail - free))
os.sync()
p = subprocess.run([cli, out + "/", a, b], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
lines = [json.loads(l) for l in p.stdout.decode().splitlines() if l.startswith("{")]
report = {"rc": p.returncode, "lines": lines, "temps": zipcheck.temporaries(out), "checks": {}}
with open(os.path.join(out, "A.zip"), "rb") as fh:
    report["earlier"] = fh.read().decode("latin-1")
for o in lines:
    if os.path.exists(o["archive"]) and o["result"] in (0, 18):
        report["checks"][o["archive"]] = zipcheck.full_check(o["archive"], zipcheck.expected_entries(o["folder"]))
print(json.dumps(report))
"""


def case_disk_full(w):
    """A full output folder (tmpfs in a private mount namespace) at several
    fill points: the big folder fails with the system's reason, leaves
    nothing and keeps its earlier archive byte for byte; the small one after
    it is archived when it fits."""
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return "skip: needs root and unshare"
    a, b = os.path.join(w, "A"), os.path.join(w, "B")
    big_tree(a, files=12, size=256 * 1024)     # 3 MiB that does not compress
    small_tree(b)
    script = os.path.join(w, "inner.py")
    with open(script, "w") as fh:
        fh.write(INNER_FULL % {"here": os.path.dirname(os.path.abspath(zipcheck.__file__))})
    for free in (0, 4096, 64 * 1024, 1 << 20, (3 << 20) - 4096):
        out = os.path.join(w, "out%d" % free)
        os.makedirs(out)
        p = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, script, out, str(free),
                            a, b, CLI], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=180)
        need(p.returncode == 0, "free %d: inner run failed: %s" % (free, p.stderr.decode()[-400:]))
        rep = json.loads(p.stdout.decode().splitlines()[-1])
        need(rep["rc"] == 0 and len(rep["lines"]) == 2, "free %d: archiver exit %d" % (free, rep["rc"]))
        need(rep["temps"] == [], "free %d: temporary left: %s" % (free, rep["temps"]))
        for o in rep["lines"]:
            need(not o["errors"], "free %d: trapped %s" % (free, o["errors"]))
            if o["archive"] in rep["checks"]:
                need(rep["checks"][o["archive"]] == [], "free %d: %s unsound: %s"
                     % (free, o["archive"], rep["checks"][o["archive"]][:4]))
            else:
                need(o["result"] != 0 and o["messages"].strip(), "free %d: %s missing, nothing said"
                     % (free, o["folder"]))
                need("No space left" in o["messages"] or "ile too large" in o["messages"]
                     or "space" in o["messages"].lower(),
                     "free %d: the reason is not shown: %r" % (free, o["messages"][:300]))
        a_out = rep["lines"][0]
        need(a_out["result"] != 0, "free %d: A reported written" % free)
        need(rep["earlier"] == "the earlier archive of A", "free %d: A's earlier archive lost" % free)
        if free >= (1 << 20):
            need(rep["lines"][1]["result"] == 0, "free %d: B not archived: %s" % (free, rep["lines"][1]["messages"]))


def case_file_size_limit(w):
    """prlimit --fsize below the archive's size: the folder fails with a
    message, the program goes on to the next folder."""
    a, b = os.path.join(w, "A"), os.path.join(w, "B")
    big_tree(a, files=12, size=256 * 1024)
    small_tree(b)
    out = os.path.join(w, "out")
    os.makedirs(out)
    p = subprocess.run(["prlimit", "--fsize=1048576", CLI, out + "/", a, b], stdout=subprocess.PIPE,
                       stderr=subprocess.PIPE, timeout=120)
    temps = zipcheck.temporaries(out)
    need(p.returncode == 0, "the program died (status %d%s); left: %s" % (
        p.returncode, ", SIGXFSZ" if p.returncode == -signal.SIGXFSZ else "", temps))
    lines = [json.loads(l) for l in p.stdout.decode().splitlines() if l.startswith("{")]
    need(len(lines) == 2, "lines: %s" % lines)
    need(not outcome_sound(lines[0], {}), "A reported written")
    need(outcome_sound(lines[1], zipcheck.expected_entries(b)), "B not archived")
    need(temps == [], "temporary left: %s" % temps)


def case_sigkill(w, kills):
    """SIGKILL at random points while archiving: whatever is under the final
    name is complete and valid. A temporary file may stay behind after a
    kill (no code runs); that is counted."""
    a = os.path.join(w, "A")
    big_tree(a, files=160, size=128 * 1024)
    expected = zipcheck.expected_entries(a)
    out = os.path.join(w, "out")
    os.makedirs(out)
    t0 = time.time()
    rc, lines, err = run_cli(out + "/", [a])
    full = time.time() - t0
    need(rc == 0 and lines and lines[0]["result"] == 0, "clean run failed: %s" % err[-300:])
    rng = random.Random(11)
    for k in range(kills):
        shutil.rmtree(out)
        os.makedirs(out)
        delay = rng.uniform(0.0, full * 1.1)
        p = subprocess.Popen([CLI, out + "/", a], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(delay)
        p.send_signal(signal.SIGKILL)
        p.wait(timeout=30)
        FIGURES["kills"] += 1
        final = os.path.join(out, "A.zip")
        if os.path.exists(final):
            problems = zipcheck.full_check(final, expected, extract=False)
            need(not problems, "kill %d after %.2f s: unsound archive under the final name: %s"
                 % (k, delay, problems[:4]))
            FIGURES["kills_complete_archive"] += 1
        else:
            FIGURES["kills_no_archive"] += 1
        if zipcheck.temporaries(out):
            FIGURES["kills_temp_left"] += 1


def case_deleted_while_archiving(w):
    """Files deleted after the engine listed them and before it read them:
    the archive keeps everything read, each file left out is named with the
    reason, and the result says some were left out."""
    a = os.path.join(w, "A")
    big_tree(a, files=200, size=96 * 1024)
    originals = {}
    for dirpath, _, files in os.walk(a):
        for n in files:
            p = os.path.join(dirpath, n)
            with open(p, "rb") as fh:
                originals[p] = fh.read()
    out = os.path.join(w, "out")
    os.makedirs(out)
    stop = threading.Event()
    deleted = []

    def deleter():
        if wait_for_temp(out, stop):
            for p in sorted(originals, reverse=True):
                os.unlink(p)
                deleted.append(p)

    t = threading.Thread(target=deleter)
    t.start()
    try:
        rc, lines, err = run_cli(out + "/", [a])
    finally:
        stop.set()
        t.join()
    need(rc == 0 and lines, "archiver exit %d %s" % (rc, err[-300:]))
    if not deleted:
        return "skip: no temporary file seen"
    o = lines[0]
    need(not o["errors"], "trapped %s" % o["errors"])
    need(zipcheck.temporaries(out) == [], "temporary left")
    archive = os.path.join(out, "A.zip")
    need(os.path.exists(archive), "nothing written; result %d: %s" % (o["result"], o["messages"][:300]))
    need(not zipcheck.readers_accept(archive) and not zipcheck.lint(archive),
         "unsound: %s" % (zipcheck.readers_accept(archive) + zipcheck.lint(archive))[:4])
    import zipfile
    with zipfile.ZipFile(archive) as z:
        stored = {"/" + i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}
    missing = [p for p in originals if p not in stored]
    for p, data in stored.items():
        need(originals.get(p) == data, "bytes differ: %s" % p)
    for p in missing:
        need(p in o["messages"], "left out without a word: %s" % p)
    FIGURES["deleted_left_out"] += len(missing)
    FIGURES["deleted_stored_whole"] += len(stored)
    need((o["result"] != 0) == bool(missing), "result %d with %d left out" % (o["result"], len(missing)))


def case_changing_file(w, grow):
    """A file that grows (or shrinks) while it is read: the archive stays
    sound, and an entry whose bytes are not the file's final bytes is named
    in the messages."""
    a = os.path.join(w, "A")
    big_tree(a, files=30, size=128 * 1024)
    victim = os.path.join(a, "d3", "zz-changing.bin")
    write(victim, random.Random(5).randbytes(8 << 20))
    out = os.path.join(w, "out")
    os.makedirs(out)
    stop = threading.Event()

    def changer():
        if grow:
            with open(victim, "ab") as fh:
                while not stop.is_set():
                    fh.write(b"grow" * 4096)
                    fh.flush()
                    time.sleep(0.001)
        else:
            if wait_for_temp(out, stop):
                with open(victim, "r+b") as fh:
                    fh.truncate(1 << 20)

    t = threading.Thread(target=changer)
    t.start()
    try:
        rc, lines, err = run_cli(out + "/", [a], timeout=120)
    finally:
        stop.set()
        t.join()
    need(rc == 0 and lines, "archiver exit %d %s" % (rc, err[-300:]))
    o = lines[0]
    need(not o["errors"], "trapped %s" % o["errors"])
    need(zipcheck.temporaries(out) == [], "temporary left")
    archive = os.path.join(out, "A.zip")
    if not os.path.exists(archive):
        need(o["result"] != 0 and victim in o["messages"], "nothing written, nothing said: %s" % o["messages"][:300])
        return
    need(not zipcheck.readers_accept(archive) and not zipcheck.lint(archive), "unsound archive")
    import zipfile
    with zipfile.ZipFile(archive) as z:
        # Stored names start at the folder's own name.
        names = {os.path.join(os.path.dirname(a), i.filename): i for i in z.infolist()}
        entry = names.get(victim)
        with open(victim, "rb") as fh:
            final = fh.read()
        if entry is None or z.read(entry) != final:
            need(victim in o["messages"] and o["result"] != 0,
                 "entry differs from the file, nothing said (result %d): %r" % (o["result"], o["messages"][:300]))
            FIGURES["changing_reported"] += 1
        else:
            FIGURES["changing_same"] += 1


def case_link_loop(w):
    """Links back to an ancestor (two of them, so a walk that follows them
    grows without end): the walk ends, and every real file is in the archive
    once."""
    a = os.path.join(w, "A")
    small_tree(a)
    os.symlink("..", os.path.join(a, "sub", "loop"))
    os.symlink("../..", os.path.join(a, "sub", "deeper", "loop2"))
    out = os.path.join(w, "out")
    os.makedirs(out)
    rc, lines, err = run_cli(out + "/", [a], timeout=60)
    need(rc == 0 and lines, "archiver exit %d %s" % (rc, err[-300:]))
    s = os.path.basename(a).encode()
    expected = {}
    for name, isdir in (("/", 1), ("/a.txt", 0), ("/sub/", 1), ("/sub/b.bin", 0), ("/sub/deeper/", 1),
                        ("/sub/deeper/c.txt", 0), ("/empty/", 1)):
        p = a + name
        st = os.stat(p)
        data = None
        if not isdir:
            with open(p, "rb") as fh:
                data = fh.read()
        expected[s + name.encode()] = (bool(isdir), st.st_mode, int(st.st_mtime), data)
    archive = os.path.join(out, "A.zip")
    need(os.path.exists(archive), "no archive: %s" % lines[0]["messages"][:300])
    problems = zipcheck.compare_python(archive, expected)
    need(not problems, "%d problems, e.g. %s" % (len(problems), problems[:3]))


def case_special_files(w):
    """A FIFO and a device node in a listed folder: skipped with a warning,
    never opened in a way that blocks."""
    if os.geteuid() != 0:
        return "skip: device nodes need root"
    a = os.path.join(w, "A")
    small_tree(a)
    os.mkfifo(os.path.join(a, "sub", "pipe"))
    os.mknod(os.path.join(a, "sub", "null"), 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    out = os.path.join(w, "out")
    os.makedirs(out)
    rc, lines, err = run_cli(out + "/", [a], timeout=30)
    need(rc == 0 and lines, "archiver exit %d %s" % (rc, err[-300:]))
    o = lines[0]
    need(outcome_sound(o, zipcheck.expected_entries(a)), "no archive")
    # The engine warns about each; with result 0 the program shows no box.
    need(o["result"] == 0 or ("pipe" in o["messages"] and "null" in o["messages"]),
         "skipped, failure reported, but without naming them: %r" % o["messages"][:300])


CASES = [
    ("output inside folder", case_output_inside_folder),
    ("output read-only", case_output_read_only),
    ("output removed during run", case_output_removed),
    ("disk full", case_disk_full),
    ("file-size limit", case_file_size_limit),
    ("killed while writing", None),
    ("deleted while archiving", case_deleted_while_archiving),
    ("file grows while read", lambda w: case_changing_file(w, True)),
    ("file shrinks while read", lambda w: case_changing_file(w, False)),
    ("link loop", case_link_loop),
    ("special files", case_special_files),
]


def main():
    global CLI
    ap = argparse.ArgumentParser()
    ap.add_argument("--only")
    ap.add_argument("--kills", type=int, default=8)
    args = ap.parse_args()
    CLI = zipcheck.archive_cli()
    failed = 0
    for name, fn in CASES:
        if args.only and args.only != name:
            continue
        if fn is None:
            fn = lambda w: case_sigkill(w, args.kills)  # noqa: E731
        w = tempfile.mkdtemp(prefix="qb-fault-")
        t0 = time.time()
        try:
            note = fn(w)
            status = "SKIP (%s)" % note[6:] if isinstance(note, str) and note.startswith("skip") else "PASS"
        except (Problem, subprocess.TimeoutExpired) as e:
            status = "FAIL: %s" % e
        finally:
            subprocess.run(["chmod", "-R", "u+rwx", w], stderr=subprocess.DEVNULL)
            shutil.rmtree(w, ignore_errors=True)
        if status.startswith("SKIP"):
            RESULTS["skipped"] += 1
        else:
            RESULTS["injected"] += 1
        if name in KNOWN:
            if status.startswith("FAIL"):
                status = "XFAIL (%s): %s" % (KNOWN[name], status[6:])
                RESULTS["xfail"] += 1
            elif status == "PASS":
                status = "XPASS: remove the known-fault mark"
                failed += 1
        elif status.startswith("FAIL"):
            failed += 1
            RESULTS["failed"] += 1
        elif status == "PASS":
            RESULTS["passed"] += 1
        print("%-28s %5.1f s  %s" % (name, time.time() - t0, status))
        sys.stdout.flush()
    print("faults: %s; SIGKILL: %s" % (RESULTS, FIGURES))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
