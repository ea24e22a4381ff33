#!/usr/bin/env python3
"""quillbarrow-<version>-x64-setup.exe under Wine, in a fresh prefix kept
from this machine's menus (winemenubuilder off): a silent install per user (files, shortcuts, uninstall entry, the PATH entry
added to the user's own REG_SZ PATH, `quillbarrow` typed into cmd); the
program started as "Send to" starts it, with two folders to zip; a silent
uninstall with _?=, done when it returns, settings kept; a PATH too long to
edit left alone, and /RemoveSettings; an install for all users.

    run_installer_wine.py --setup EXE --folder DIR --work DIR --shots DIR

--folder: the program folder the installer holds. Prints one line per step
and "installer: N passed, N failed"; exit 1 on a failure, 77 when Wine,
Xvfb, xdotool or makensis is missing."""
import argparse
import filecmp
import os
import pwd
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_window_wine as window  # noqa: E402

ENTRY = r"Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillbarrow"
SYSTEM_ENV = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
USER_PATH = r"C:\Tools;C:\Other"
LONG_PATH = ";".join(r"C:\Long\entry number %03d" % i for i in range(60))


def tree(top):
    """Every file and folder under top, relative, with "/" between names."""
    return {os.path.relpath(os.path.join(d, n), top) for d, dirs, files in os.walk(top) for n in dirs + files}


class Installer(window.Session):
    def __init__(self, args):
        super().__init__(args.folder, args.work, args.shots)
        self.env["WINEDLLOVERRIDES"] = "winemenubuilder.exe=d;mscoree,mshtml="
        self.setup, self.source = os.path.abspath(args.setup), os.path.abspath(args.folder)
        self.c = os.path.join(self.env["WINEPREFIX"], "drive_c")

    def host(self, path):
        return os.path.join(self.c, *path[3:].split("\\"))

    def query(self, key, *value):
        """{name: (type, data)} as reg query prints them; {} without the key."""
        command = ["wine", "reg", "query", key] + (["/v"] + list(value) if value else [])
        for attempt in range(3):
            # reg itself failing (not finding the key is a clean exit 1) is
            # asked again, and then shown, rather than taken for no value.
            p = subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
            said = (p.stdout + p.stderr).decode("utf-8", "replace")
            if p.returncode == 0 or "nable to find" in said:
                break
            time.sleep(0.5)
        else:
            print("     %s: exit code %d: %s" % (" ".join(command[1:]), p.returncode, said.strip()[-300:]))
        out = p.stdout.decode("utf-8", "replace")
        return {m[1]: (m[2], m[3]) for m in re.finditer(r"^    (.+?)    (REG_\w+)    ?(.*?)\r?$", out, re.M)}

    def set_value(self, key, name, kind, data):
        self.run("wine", "reg", "add", key, "/v", name, "/t", kind, "/d", data, "/f")

    def wine_run(self, *args, code=0):
        t = time.monotonic()
        p = subprocess.run(["wine"] + list(args), env=self.env, stdin=subprocess.DEVNULL, capture_output=True,
                           timeout=300)
        if p.returncode != code:
            raise window.Failure("%s: exit code %d, want %d" % (" ".join(args), p.returncode, code))
        return time.monotonic() - t

    def gone(self, *paths):
        self.wait_for(" and ".join(paths) + " to go", lambda: not any(map(os.path.exists, paths)), 30)


def main():
    ap = argparse.ArgumentParser()
    for name in ("setup", "folder", "work", "shots"):
        ap.add_argument("--" + name, required=True)
    args = ap.parse_args()
    for tool in ("wine", "wineserver", "Xvfb", "xdotool", "import", "makensis"):
        if not shutil.which(tool):
            print("installer: skipped, %s is not installed" % tool)
            return 77
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    s = Installer(args)
    version = re.search(r"quillbarrow-(.+)-x64-setup\.exe$", args.setup).group(1)
    profile = r"C:\users\%s" % (os.environ.get("USER") or pwd.getpwuid(os.getuid()).pw_name)
    user_dir = profile + r"\AppData\Local\Programs\Quillbarrow"
    links = [profile + r"\AppData\Roaming\Microsoft\Windows\%s\Quillbarrow.lnk" % f
             for f in ("Start Menu\\Programs", "SendTo")]
    settings, cache = r"HKCU\Software\Kestrawin\Quillbarrow", s.host(profile + r"\AppData\Local\Quillbarrow")
    folders = [os.path.join(args.work, "data", n) for n in ("Briefe 2026", "Rechnungen")]
    out = os.path.join(args.work, "out")
    passed = failed = 0

    def step(title, body):
        nonlocal passed, failed
        t = time.monotonic()
        try:
            problems = [p for p in body() if p]
        except (window.Failure, subprocess.TimeoutExpired, OSError) as e:
            problems = [str(e)]
        print("%s %s (%.1f s)" % ("FAIL" if problems else "ok  ", title, time.monotonic() - t), flush=True)
        for p in problems:
            print("     " + p, flush=True)
        passed, failed = passed + (not problems), failed + bool(problems)
        return not problems

    def installed(where, root, path_key, path_before):
        want = tree(s.source) | {"uninstall.exe"}
        have = tree(s.host(where))
        yield None if have == want else "files missing or extra: %s" % sorted(have ^ want)
        _, mismatch, errors = filecmp.cmpfiles(s.source, s.host(where), sorted(
            os.path.relpath(os.path.join(d, f), s.source) for d, _, fs in os.walk(s.source) for f in fs), False)
        yield "files differ: %s" % (mismatch + errors) if mismatch or errors else None
        entry = s.query(root + "\\" + ENTRY)
        size = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(s.host(where)) for f in fs) // 1024
        want = {"DisplayName": ("REG_SZ", "Quillbarrow"), "DisplayVersion": ("REG_SZ", version),
                "Publisher": ("REG_SZ", "Kestrawin"), "DisplayIcon": ("REG_SZ", where + r"\quillbarrow.exe,0"),
                "InstallLocation": ("REG_SZ", where), "NoModify": ("REG_DWORD", "0x1"),
                "NoRepair": ("REG_DWORD", "0x1"), "UninstallString": ("REG_SZ", '"%s\\uninstall.exe"' % where),
                "QuietUninstallString": ("REG_SZ", '"%s\\uninstall.exe" /S' % where)}
        yield from ("%s is %r, want %r" % (k, entry.get(k), v) for k, v in want.items() if entry.get(k) != v)
        estimated = int(entry.get("EstimatedSize", ("", "0"))[1], 16)
        yield None if abs(estimated - size) <= 64 else "EstimatedSize is %d KiB, the files %d KiB" % (estimated, size)
        path = s.query(path_key, "Path").get("Path")
        yield None if path == (path_before[0], path_before[1] + ";" + where) else "PATH is %r" % (path,)

    def user_install():
        s.set_value("HKCU\\Environment", "Path", "REG_SZ", USER_PATH)
        print("     setup.exe /S: %.1f s" % s.wine_run(s.setup, "/S"))
        yield from installed(user_dir, "HKCU", "HKCU\\Environment", ("REG_SZ", USER_PATH))
        for link in links:
            with open(s.host(link), "rb") as fh:
                yield None if (user_dir + r"\quillbarrow.exe").encode() in fh.read() else link + " misses its target"
        said = s.run("wine", "cmd", "/c", "cd /d C:\\ && quillbarrow --version")
        yield None if "quillbarrow " + version in said else "quillbarrow typed into cmd said %r" % said

    def send_to():
        for f in folders:
            window.write(os.path.join(f, "note.txt"), b"sent to Quillbarrow\r\n" * 50)
        os.makedirs(out)
        s.set_value(settings, "Output Folder", "REG_SZ", window.win(out))
        # As "Send to" starts the shortcut's target (Wine's start cannot
        # wait for a program it started through a shortcut).
        s.exe = s.host(user_dir + r"\quillbarrow.exe")
        s.start_program(*map(window.win, folders))
        archives = [os.path.join(out, os.path.basename(f) + ".zip") for f in folders]
        s.zip_and_wait(archives, "installed-done")
        # Removing a running program would leave half of it: refused, exit code 32.
        s.wine_run(user_dir + r"\uninstall.exe", "/S", "_?=" + user_dir, code=32)
        yield None if s.query("HKCU\\" + ENTRY) else "an uninstall while it ran took the entry"
        s.quit_program()
        for a, f in zip(archives, folders):
            yield from window.check_archive(a, f)

    def uninstalled(where, root, path_key, path_before, start_menu=links[0]):
        """What must be gone once the uninstaller returns: all but its own file."""
        left = tree(s.host(where)) - {"uninstall.exe"} if os.path.exists(s.host(where)) else set()
        yield "left in the install folder: %s" % sorted(left) if left else None
        yield from ("%s is left" % p for p in (start_menu, links[1]) if os.path.exists(s.host(p)))
        yield "the uninstall entry is left" if s.query(root + "\\" + ENTRY) else None
        path = s.query(path_key, "Path").get("Path")
        yield None if path == path_before else "PATH is %r, want %r" % (path, path_before)

    def user_uninstall():
        print("     uninstall.exe /S _?=: %.1f s" % s.wine_run(user_dir + r"\uninstall.exe", "/S", "_?=" + user_dir))
        yield from uninstalled(user_dir, "HKCU", "HKCU\\Environment", ("REG_SZ", USER_PATH))
        yield None if s.query(settings).get("Output Folder") else "the settings went too"
        s.gone(s.host(user_dir))

    def long_path():
        s.set_value("HKCU\\Environment", "Path", "REG_EXPAND_SZ", LONG_PATH)
        s.wine_run(s.setup, "/S")
        path = s.query("HKCU\\Environment", "Path").get("Path")
        yield None if path == ("REG_EXPAND_SZ", LONG_PATH) else "a PATH too long to edit became %r" % (path,)
        os.makedirs(os.path.join(cache, "reuse"), exist_ok=True)
        s.wine_run(user_dir + r"\uninstall.exe", "/S", "/RemoveSettings")
        s.gone(s.host(user_dir), cache)
        yield from uninstalled(user_dir, "HKCU", "HKCU\\Environment", ("REG_EXPAND_SZ", LONG_PATH))
        yield "the settings are left" if s.query(settings) else None

    def all_users():
        where, start_menu = r"C:\Program Files\Quillbarrow", r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs"
        before = s.query(SYSTEM_ENV, "Path").get("Path")
        s.wine_run(s.setup, "/S", "/AllUsers")
        yield from installed(where, "HKLM", SYSTEM_ENV, before)
        yield None if os.path.exists(s.host(start_menu + r"\Quillbarrow.lnk")) else "no Start menu shortcut for all"
        s.wine_run(where + r"\uninstall.exe", "/S", "_?=" + where)
        yield from uninstalled(where, "HKLM", SYSTEM_ENV, before, start_menu + r"\Quillbarrow.lnk")
        s.gone(s.host(where))

    started = time.monotonic()
    try:
        s.start_x()
        s.start_wine()
        if step("silent install per user: files, shortcuts, uninstall entry, PATH", user_install):
            step('"Send to" with two folders: both listed and zipped; no uninstall while it runs', send_to)
            if step("silent uninstall (_?=): all gone when it returns, settings kept", user_uninstall):
                step("a PATH too long to edit left alone; uninstall /S /RemoveSettings", long_path)
        step("silent install and uninstall for all users", all_users)
    finally:
        s.stop()
    print("installer: %.0f s" % (time.monotonic() - started))
    print("installer: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
