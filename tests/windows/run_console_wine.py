#!/usr/bin/env python3
"""quillbarrow.com, the console companion of the Windows program, under
Wine: typed as `quillbarrow ...` into cmd (wine cmd /c), so cmd's own lookup
must take the .com before the .exe, from the program's folder as the current
folder or from PATH (WINEPATH). A table of runs checks what a run prints,
the exit codes 0, 1 and 2, names that are not ASCII (on a pipe as UTF-8, on
a console, a pseudo-terminal here, as the console writes them), a tree whose
paths pass 260 characters and --help; every archive is read back. Without
--output the companion must start quillbarrow.exe beside it with the same
arguments and return at once: a stand-in (record_start.exe) records what it
was started with. Wine lets a window program print into cmd and waits for
it, which Windows does not, so the files are read too: the Subsystem of
quillbarrow.com must be the console's (3), that of quillbarrow.exe the
window's (2), and both must carry the icon, the version and one manifest.

    run_console_wine.py --folder DIR --bin DIR --work DIR

--folder is the deployed program's folder, --bin holds record_start.exe.
Prints one line per case and "wine console: N passed, N failed"; exit 1 on a
failure, 77 when Wine is missing."""
import argparse
import fcntl
import os
import pty
import re
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import termios
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import zipcheck  # noqa: E402

DEEP = "/".join("level %d of a tree whose paths pass what MAX_PATH allows" % i for i in range(1, 7))
DEEP_NAME = os.path.basename(DEEP)

# Runs of `quillbarrow ARGS` in cmd. "where": the current folder is the
# program's ("folder"), or the data folder with the program on PATH
# ("path"). {out} is the case's own output folder, {data} the data folder,
# both as Windows paths; "archives": archive in {out} -> folder in {data}.
CASES = [
    dict(title="--help: usage and exit codes", args=["--help"], code=0,
         says=["Usage: quillbarrow", "--output DIR", "Exit status: 0"]),
    dict(title="two folders whose names are not ASCII, output on a pipe",
         args=["--output", "{out}", r"{data}\Фото 2025", r"{data}\日本語"], code=0,
         says=[r"[1/2] {data}\Фото 2025 -> {out}\Фото 2025.zip", r"[2/2] {data}\日本語 -> {out}\日本語.zip"],
         archives={"Фото 2025.zip": "Фото 2025", "日本語.zip": "日本語"}),
    dict(title="the same on a console: the names as they are", console=True,
         args=["--output", "{out}", r"{data}\Фото 2025", r"{data}\日本語"], code=0,
         says=[r"[1/2] {data}\Фото 2025 -> {out}\Фото 2025.zip", r"[2/2] {data}\日本語 -> {out}\日本語.zip"],
         archives={"Фото 2025.zip": "Фото 2025", "日本語.zip": "日本語"}),
    dict(title="on PATH, folders relative to the current folder", where="path",
         args=["--output", "out-path", "Фото 2025"], code=0, out="out-path",
         says=[r"[1/1] {data}\Фото 2025 -> {data}\out-path\Фото 2025.zip"],
         archives={"Фото 2025.zip": "Фото 2025"}),
    dict(title="a folder missing: exit code 1, the others zipped", where="path",
         args=["--output", "{out}", r"{data}\nowhere", r"{data}\日本語"], code=1,
         says=[r"quillbarrow: {data}\nowhere: folder not found; not zipped."], archives={"日本語.zip": "日本語"}),
    dict(title="a wrong command line: exit code 2", args=["--output"], code=2,
         says=["quillbarrow: Missing value after '--output'.", "Try 'quillbarrow --help'"]),
    dict(title="a tree whose paths pass 260 characters, and a folder deep in it",
         args=["--output", "{out}", r"{data}\Long", "{data}\\Long\\" + DEEP.replace("/", "\\")], code=0,
         says=[r"{out}\Long.zip", "{out}\\%s.zip" % DEEP_NAME],
         archives={"Long.zip": "Long", DEEP_NAME + ".zip": "Long/" + DEEP}),
]

# Without --output: what quillbarrow.exe is started with ("launch": the
# stand-in beside the companion; "alone": no quillbarrow.exe there).
WINDOW_CASES = [
    dict(title="the window: quillbarrow.exe started with the same arguments, at once", folder="launch",
         args=[r"{data}\Фото 2025", r"{data}\日本語", "--quiet"], code=0, says=[]),
    dict(title="the window without quillbarrow.exe: exit code 1, and why", folder="alone",
         args=[r"{data}\Фото 2025"], code=1, says=["quillbarrow: the window could not be opened: ", "quillbarrow.exe"]),
]

# The files themselves: name, Subsystem (2 the window's, 3 the console's).
PE_FILES = [("quillbarrow.com", 3), ("quillbarrow.exe", 2)]
SUPPORTED_OS = {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def win(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as fh:
        fh.write(data)


def make_data(data):
    write(os.path.join(data, "Фото 2025", "Море", "снимок 1.jpg"), os.urandom(50000))
    write(os.path.join(data, "Фото 2025", "заметки.txt"), "Солнце\r\n".encode() * 300)
    os.makedirs(os.path.join(data, "Фото 2025", "пусто"))
    write(os.path.join(data, "日本語", "ファイル.txt"), "こんにちは\n".encode() * 100)
    write(os.path.join(data, "Long", "top.txt"), b"top\n")
    write(os.path.join(data, "Long", DEEP, "deep file.txt"), b"deep\n" * 1000)
    write(os.path.join(data, "Long", os.path.dirname(DEEP), "half way.txt"), b"half\n")


# ------------------------------------------------------------ reading a PE file

def pe_parts(path):
    """(Subsystem, resources as {(type, name, language): bytes})."""
    with open(path, "rb") as fh:
        data = fh.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("%s is no PE file" % path)
    count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    subsystem = struct.unpack_from("<H", data, optional + 68)[0]
    directories = optional + (112 if struct.unpack_from("<H", data, optional)[0] == 0x20B else 96)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    sections = [struct.unpack_from("<8xIIII", data, optional + optional_size + 40 * i) for i in range(count)]

    def offset(rva):
        for size, va, raw_size, raw in sections:
            if va <= rva < va + max(size, raw_size):
                return raw + rva - va
        raise ValueError("RVA %#x is in no section" % rva)

    base, found = offset(resource_rva), {}

    def walk(at, keys):
        named, ids = struct.unpack_from("<HH", data, base + at + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + at + 16 + 8 * i)
            if name & 0x80000000:
                length = struct.unpack_from("<H", data, base + (name & 0x7FFFFFFF))[0]
                start = base + (name & 0x7FFFFFFF) + 2
                name = data[start:start + 2 * length].decode("utf-16-le")
            if target & 0x80000000:
                walk(target & 0x7FFFFFFF, keys + (name,))
            else:
                rva, size = struct.unpack_from("<II", data, base + target)
                found[keys + (name,)] = data[offset(rva):offset(rva) + size]

    if resource_rva:
        walk(0, ())
    return subsystem, found


def version_strings(blob):
    """The text values of a VS_VERSIONINFO, by name, and its fixed file version."""
    strings = {}

    def blocks(at, end):
        while at + 6 <= end:
            length, value_length, kind = struct.unpack_from("<HHH", blob, at)
            if length == 0:
                return
            p, key = at + 6, ""
            while struct.unpack_from("<H", blob, p)[0]:
                key += chr(struct.unpack_from("<H", blob, p)[0])
                p += 2
            p = (p + 2 + 3) & ~3
            size = value_length * 2 if kind == 1 else value_length
            if kind == 1 and value_length:
                strings[key] = blob[p:p + size].decode("utf-16-le").rstrip("\0")
            blocks((p + size + 3) & ~3, at + length)
            at = (at + length + 3) & ~3

    blocks(0, len(blob))
    ms, ls = struct.unpack_from("<II", blob, 40 + 8)  # after the header and key: dwFileVersionMS, LS
    return strings, "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def check_pe(folder, name, subsystem, version):
    problems = []
    found_subsystem, res = pe_parts(os.path.join(folder, name))
    if found_subsystem != subsystem:
        problems.append("Subsystem is %d, want %d" % (found_subsystem, subsystem))
    groups = [b for k, b in res.items() if k[0] == RT_GROUP_ICON]
    icons = {k[1] for k in res if k[0] == RT_ICON}
    if not groups:
        problems.append("no icon group")
    else:
        count = struct.unpack_from("<H", groups[0], 4)[0]
        entries = [struct.unpack_from("<BBBBHHIH", groups[0], 6 + 14 * i) for i in range(count)]
        sizes = {e[0] or 256 for e in entries}
        if not {16, 32, 48, 256} <= sizes or any(e[7] not in icons for e in entries):
            problems.append("icon group: sizes %s, images %s of %s" % (sorted(sizes), sorted(icons), entries))
    versions = [b for k, b in res.items() if k[0] == RT_VERSION]
    strings, fixed = version_strings(versions[0]) if versions else ({}, "")
    want = {"ProductName": "Quillbarrow", "CompanyName": "Kestrawin", "FileVersion": version,
            "ProductVersion": version, "OriginalFilename": name}
    problems += ["version %s is %r, want %r" % (k, strings.get(k), v) for k, v in want.items() if strings.get(k) != v]
    if not strings.get("FileDescription") or not fixed.startswith(version + "."):
        problems.append("version: FileDescription %r, fixed file version %s" % (strings.get("FileDescription"), fixed))
    manifests = [b for k, b in res.items() if k[0] == RT_MANIFEST]
    if len(manifests) != 1:
        return problems + ["%d manifests, want one" % len(manifests)]
    texts = {}
    for element in ET.fromstring(manifests[0]).iter():
        local = element.tag.rsplit("}", 1)[-1]
        texts.setdefault(local, []).append((element.text or "").strip() or element.get("Id") or element.get("name"))
    want = {"longPathAware": ["true"], "dpiAware": ["true/pm"], "dpiAwareness": ["PerMonitorV2, PerMonitor"]}
    problems += ["manifest %s is %s, want %s" % (k, texts.get(k), v) for k, v in want.items() if texts.get(k) != v]
    if set(texts.get("supportedOS", [])) != SUPPORTED_OS:
        problems.append("manifest supportedOS: %s" % texts.get("supportedOS"))
    if "Microsoft.Windows.Common-Controls" not in texts.get("assemblyIdentity", []):
        problems.append("manifest: no Common Controls 6")
    return problems


# ------------------------------------------------------------ running cmd

class Wine:
    def __init__(self, prefix):
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH="win64",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d", LC_ALL="C.UTF-8")
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINEPATH"):
            self.env.pop(name, None)

    def quiet(self, *cmd, timeout=600):
        subprocess.run(cmd, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout, check=False)

    def cmd(self, args, cwd, console=False, path=None, timeout=120):
        """`wine cmd /c quillbarrow ARGS` in `cwd`: (exit code, what it printed)."""
        env = dict(self.env, WINEPATH=path) if path else self.env
        command = ["wine", "cmd", "/c", "quillbarrow"] + args
        if not console:
            # Into a file: Wine's server may keep a pipe open past the run.
            with tempfile.TemporaryFile() as out:
                code = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=subprocess.STDOUT, timeout=timeout).returncode
                out.seek(0)
                return code, out.read().decode("utf-8", "replace")
        master, slave = pty.openpty()
        # Wide enough that no line of a run wraps.
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 500, 0, 0))
        p = subprocess.Popen(command, env=env, cwd=cwd, stdin=slave, stdout=slave, stderr=slave)
        os.close(slave)
        text, deadline = b"", time.monotonic() + timeout
        while time.monotonic() < deadline:
            ready = select.select([master], [], [], 0.2)[0]
            try:
                chunk = os.read(master, 65536) if ready else b""
            except OSError:
                break
            text += chunk
            if not chunk and p.poll() is not None:
                break
        os.close(master)
        code = p.wait(timeout=max(1, deadline - time.monotonic()))
        # What the console drew, as text: its control sequences taken out.
        return code, re.sub(r"\x1b\[[0-9;?]*[A-Za-z]|\r", "", text.decode("utf-8", "replace"))


def companion_folders(folder, bin_dir, work):
    """"launch": the companion and Qt Core beside the stand-in for
    quillbarrow.exe; "alone": the same without it."""
    made = {}
    for kind in ("launch", "alone"):
        place = os.path.join(work, kind)
        os.makedirs(place)
        shutil.copy(os.path.join(folder, "quillbarrow.com"), place)
        for name in os.listdir(folder):
            if name.lower().endswith(".dll"):
                os.symlink(os.path.join(folder, name), os.path.join(place, name))
        made[kind] = place
    shutil.copy(os.path.join(bin_dir, "record_start.exe"), os.path.join(made["launch"], "quillbarrow.exe"))
    return made


def windows_tokens(line):
    return [m.group(1) if m.group(1) is not None else m.group(2) for m in re.finditer(r'"([^"]*)"|(\S+)', line)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--folder", required=True, help="the deployed Windows program's folder")
    ap.add_argument("--bin", required=True, help="the Windows build's bin folder (record_start.exe)")
    ap.add_argument("--work", required=True)
    args = ap.parse_args()
    if not shutil.which("wine"):
        print("wine console: skipped, wine is not installed")
        return 77
    folder, work = os.path.abspath(args.folder), os.path.abspath(args.work)
    if os.path.exists(work):
        shutil.rmtree(work)
    data = os.path.join(work, "data")
    make_data(data)
    places = companion_folders(folder, os.path.abspath(args.bin), work)
    wine = Wine(os.path.join(work, "wineprefix"))
    wine.quiet("wineserver", "-p")
    wine.quiet("wineboot", "-i")
    passed = failed = 0

    def report(title, problems, printed=""):
        nonlocal passed, failed
        print("%s %s" % ("FAIL" if problems else "ok  ", title))
        for p in problems:
            print("     " + p)
        if problems and printed:
            print("     Wine printed:\n       " + printed.rstrip().replace("\n", "\n       "))
        sys.stdout.flush()
        passed, failed = passed + (not problems), failed + bool(problems)

    try:
        code, printed = wine.cmd(["--version"], folder)
        version = printed.strip().rpartition(" ")[2]
        for name, subsystem in PE_FILES:
            report("%s: Subsystem %d, icon, version %s, manifest" % (name, subsystem, version),
                   check_pe(folder, name, subsystem, version))
        for number, case in enumerate(CASES, 1):
            out = os.path.join(data, case.get("out", "out-%d" % number))
            os.makedirs(out)
            fill = lambda t: t.replace("{out}", win(out)).replace("{data}", win(data))  # noqa: E731
            where = case.get("where", "folder")
            code, printed = wine.cmd([fill(a) for a in case["args"]], data if where == "path" else folder,
                                     console=case.get("console", False), path=win(folder) if where == "path" else None)
            problems = [] if code == case["code"] else ["exit code %d, want %d" % (code, case["code"])]
            problems += ["no %r in what it printed" % fill(s) for s in case["says"] if fill(s) not in printed]
            for archive, source in case.get("archives", {}).items():
                problems += ["%s: %s" % (archive, p) for p in zipcheck.full_check(
                    os.path.join(out, archive), zipcheck.expected_entries(os.path.join(data, source)))]
            if sorted(os.listdir(out)) != sorted(case.get("archives", {})):
                problems.append("the output folder holds %s" % sorted(os.listdir(out)))
            report(case["title"], problems, printed)
        for case in WINDOW_CASES:
            place, record = places[case["folder"]], os.path.join(work, case["folder"] + ".started")
            wine.env["QB_RECORD_START"] = win(record)
            given = [a.replace("{data}", win(data)) for a in case["args"]]
            try:
                code, printed = wine.cmd(given, place, timeout=30)
            except subprocess.TimeoutExpired:
                code, printed = None, "(still running after 30 s)"
            problems = [] if code == case["code"] else ["exit code %s, want %d" % (code, case["code"])]
            problems += ["no %r in what it printed" % s for s in case["says"] if s not in printed]
            deadline = time.monotonic() + 30
            while case["folder"] == "launch" and not os.path.exists(record) and time.monotonic() < deadline:
                time.sleep(0.2)
            write(record + ".done", b"")
            started = open(record, encoding="utf-8").read() if os.path.exists(record) else None
            want = None if case["folder"] == "alone" else [win(os.path.join(place, "quillbarrow.exe"))] + given
            if (started and windows_tokens(started)) != want:
                problems.append("quillbarrow.exe was started as %r, want %r" % (started, want))
            report(case["title"], problems, printed)
    finally:
        wine.quiet("wineserver", "-k", timeout=60)
    print("wine console: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
