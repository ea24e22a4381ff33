#!/usr/bin/env python3
"""The Windows program as a person uses it: quillbarrow.exe from its
deployed folder under Wine, on a private Xvfb, driven with xdotool at the
window's designed control positions.

First start: three folders named on the command line ("Reisefotos Ü", which
holds a link back up to its parent, and two folders called Docs and docs,
the last with forward slashes); "..." and the Windows folder chooser pick an
output folder, then another one is typed into the box; Start Zipping. Each
archive is read back with unzip, 7zz, bsdtar and Python's zipfile, and must
hold its folder under the folder's own name ("Reisefotos Ü/...", every file,
the empty folder too, nothing through the link); Docs and docs, one name on
Windows, must give
"Docs.zip" and "docs (2).zip". The two settings must be at
HKCU\\Software\\Kestrawin\\Quillbarrow (wine reg query).
Second start: one folder on the command line, Start Zipping at once: its
archive must land in the typed folder (the setting read back). Screenshots
go to --shots.

    run_window_wine.py --folder DIR --work DIR --shots DIR

Prints one line per step and "wine window: N passed, N failed"; exit 1 on a
failure, 77 when Wine, Xvfb or xdotool is missing."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import zipcheck  # noqa: E402

TITLE = "Quillbarrow"
# The chooser's title: Wine's folder chooser shows its own, not the one asked for.
CHOOSER_TITLES = ("Please select folder:", "Select Folder")
STEP_TIMEOUT = 60.0
SETTINGS_KEY = r"HKCU\Software\Kestrawin\Quillbarrow"


def twips(t):
    return (t + 7) // 15


def centre(left, top, width, height, offset=(0, 0)):
    return (twips(left) + twips(width) // 2 + offset[0], twips(top) + twips(height) // 2 + offset[1])


# Control centres in the window's client area, from its design in twips.
FRAME = (twips(120), twips(3710))
OUTPUT_BOX = centre(240, 300, 6660, 345, FRAME)
CHOOSE_OUTPUT = centre(6960, 300, 600, 345, FRAME)
START = centre(120, 4640, 7800, 405)
PROGRESS_BAR = centre(120, 5160, 7800, 405)


class Failure(Exception):
    pass


def win(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def write(path, data=b""):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as fh:
        fh.write(data)


class Session:
    def __init__(self, folder, work, shots):
        self.exe = os.path.join(os.path.abspath(folder), "quillbarrow.exe")
        self.work = os.path.abspath(work)
        self.shots = os.path.abspath(shots)
        self.xvfb = self.app = self.window = None
        self.env = dict(os.environ, WINEPREFIX=os.path.join(self.work, "wineprefix"), WINEDEBUG="-all",
                        WINEARCH="win64", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("WAYLAND_DISPLAY", None)

    # ------------------------------------------------------------ plumbing

    def run(self, *args, timeout=STEP_TIMEOUT, check=True):
        p = subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        if check and p.returncode != 0:
            raise Failure("%s failed (%d): %s" % (" ".join(args), p.returncode, p.stderr.decode(errors="replace")))
        return p.stdout.decode("utf-8", "replace")

    def xdo(self, *args, check=True):
        return self.run("xdotool", *args, check=check)

    def wait_for(self, what, test, timeout=STEP_TIMEOUT):
        deadline = time.monotonic() + timeout
        while True:
            value = test()
            if value:
                return value
            if time.monotonic() > deadline:
                self.shot("timeout")
                raise Failure("timed out waiting for " + what)
            time.sleep(0.2)

    def start_x(self):
        for number in range(120, 220):
            if os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" % number):
                continue
            self.xvfb = subprocess.Popen(["Xvfb", ":%d" % number, "-screen", "0", "1024x768x24", "-nolisten",
                                          "tcp", "-noreset"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 30
            while self.xvfb.poll() is None and time.monotonic() < deadline \
                    and not os.path.exists("/tmp/.X11-unix/X%d" % number):
                time.sleep(0.05)
            if self.xvfb.poll() is None and os.path.exists("/tmp/.X11-unix/X%d" % number):
                self.env["DISPLAY"] = ":%d" % number
                return
        raise Failure("no X server could be started")

    def wine_tool(self, *args, timeout):
        """Runs a Wine tool with its output in a file, which a server it
        starts keeps open; fails with that output when the tool fails."""
        with tempfile.TemporaryFile() as out:
            p = subprocess.run(args, env=self.env, stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                               timeout=timeout)
            if p.returncode != 0:
                out.seek(0)
                raise Failure("%s failed (%d): %s" % (" ".join(args), p.returncode,
                                                      out.read().decode(errors="replace")))

    def start_wine(self):
        # The new prefix is made and waited for, then a server started that
        # stays up between the program's starts (wineserver -p fails for a
        # prefix that does not exist yet) and the session booted on it.
        self.wine_tool("wineboot", "-i", timeout=600)
        self.wine_tool("wineserver", "-w", timeout=600)
        self.wine_tool("wineserver", "-p", timeout=60)
        self.wine_tool("wineboot", "-i", timeout=600)
        # Wine has no Arial: the metric twin the Linux build uses stands in.
        self.run("wine", "reg", "add", r"HKCU\Software\Wine\Fonts\Replacements", "/v", "Arial", "/d",
                 "Liberation Sans", "/f", check=False)

    def stop(self):
        if self.app and self.app.poll() is None:
            self.app.kill()
            self.app.wait(timeout=10)
        self.run("wineserver", "-k", check=False)
        if self.xvfb and self.xvfb.poll() is None:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=10)

    def shot(self, name):
        if "DISPLAY" not in self.env:
            return None
        os.makedirs(self.shots, exist_ok=True)
        path = os.path.join(self.shots, name + ".png")
        self.run("import", "-window", "root", path, check=False)
        return path

    # ------------------------------------------------------------ the program

    def windows_named(self, name):
        out = self.xdo("search", "--onlyvisible", "--name", "^%s$" % name, check=False)
        return [w for w in out.split() if w]

    def start_program(self, *folders):
        """Starts the program with `folders` (Windows paths) on its command line."""
        log = open(os.path.join(self.work, "program.log"), "ab")
        self.app = subprocess.Popen(["wine", self.exe] + list(folders), env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        self.window = self.wait_for("the main window", lambda: self.windows_named(TITLE)[:1])[0]
        self.xdo("windowfocus", "--sync", self.window, check=False)
        time.sleep(1.0)  # first paint

    def quit_program(self):
        """Alt+F4, as a person closes the window; the process must end."""
        if not self.app or self.app.poll() is not None:
            return
        if self.window:
            self.xdo("windowfocus", "--sync", self.window, check=False)
            self.xdo("key", "--clearmodifiers", "alt+F4", check=False)
        try:
            self.app.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.app.kill()
            self.app.wait(timeout=10)
            raise Failure("the program did not end on Alt+F4")

    def click(self, point, window=None):
        if self.app.poll() is not None:
            raise Failure("the program ended (status %s)" % self.app.returncode)
        self.xdo("mousemove", "--window", window or self.window, str(point[0]), str(point[1]))
        time.sleep(0.2)
        self.xdo("click", "1")
        time.sleep(0.5)

    def type_text(self, text):
        self.xdo("type", "--delay", "30", text)
        time.sleep(0.3)

    def key(self, *keys):
        self.xdo("key", "--clearmodifiers", *keys)
        time.sleep(0.3)

    def chooser(self):
        for title in CHOOSER_TITLES:
            found = [w for w in self.windows_named(title) if w != self.window]
            if found:
                return found[0]
        return None

    def choose_output_folder(self, path):
        """"..." and the Windows folder chooser: the path typed into its name
        box, and Return."""
        self.click(CHOOSE_OUTPUT)
        chooser = self.wait_for("the folder chooser", self.chooser)
        time.sleep(1.5)
        self.xdo("windowfocus", "--sync", chooser, check=False)
        self.type_text(path)
        self.shot("chooser")
        self.key("Return")
        self.wait_for("the chooser to close", lambda: not self.chooser())
        self.xdo("windowfocus", "--sync", self.window, check=False)

    def type_output_folder(self, path):
        self.click(OUTPUT_BOX)
        self.key("ctrl+a")
        self.type_text(path)

    def message_box(self):
        boxes = [w for w in self.windows_named(TITLE) if w != self.window]
        return boxes[0] if boxes else None

    def zip_and_wait(self, archives, shot):
        """Start Zipping, then the closing box once every archive is there."""
        self.click(PROGRESS_BAR)  # the window takes the first click to become active
        self.click(START)
        self.wait_for("the archives " + ", ".join(archives), lambda: all(map(os.path.exists, archives)),
                      timeout=120)
        box = self.wait_for('the closing box ("Done.")', self.message_box)
        time.sleep(0.5)
        self.shot(shot)
        self.xdo("windowfocus", "--sync", box, check=False)
        self.key("Return")
        self.wait_for("the box to close", lambda: not self.message_box())

    def settings(self):
        """The program's values under its registry key, as reg prints them."""
        out = self.run("wine", "reg", "query", SETTINGS_KEY, check=False)
        values = {}
        # reg separates name, type and data by runs of blanks; a name may hold one.
        for line in out.splitlines():
            name, sep, data = line.strip().partition("    REG_SZ")
            if sep:
                values[name.strip()] = data.strip()
        return values


def trees(work):
    data = os.path.join(work, "data")
    photos = os.path.join(data, "Reisefotos Ü")
    write(os.path.join(photos, "Strand.jpg"), os.urandom(200000))
    write(os.path.join(photos, "Notizen", "Tag 1.txt"), "Sonne, Meer, Möwen\r\n".encode("utf-8") * 500)
    write(os.path.join(photos, "Notizen", "Tag 2.txt"), b"Regen\r\n" * 100)
    os.makedirs(os.path.join(photos, "leer"))
    # A link back up to the folder's parent: the walk must not follow it.
    os.symlink("..", os.path.join(photos, "zurück"))
    upper = os.path.join(data, "a", "Docs")
    lower = os.path.join(data, "b", "docs")
    write(os.path.join(upper, "upper.txt"), b"from a\\Docs")
    write(os.path.join(lower, "lower.txt"), b"from b\\docs")
    again = os.path.join(data, "Again")
    write(os.path.join(again, "again.txt"), b"second start")
    return photos, upper, lower, again


def check_archive(path, folder):
    """The archive holds the folder under its own name, and nothing through
    its links: they are taken away (the folder keeping its time) before the
    expectation is walked."""
    st = os.stat(folder)
    for name in os.listdir(folder):
        if os.path.islink(os.path.join(folder, name)):
            os.remove(os.path.join(folder, name))
    os.utime(folder, ns=(st.st_atime_ns, st.st_mtime_ns))
    problems = zipcheck.full_check(path, zipcheck.expected_entries(folder))
    return ["%s: %s" % (os.path.basename(path), p) for p in problems]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--folder", required=True, help="the deployed Windows program's folder")
    ap.add_argument("--work", required=True)
    ap.add_argument("--shots", required=True)
    args = ap.parse_args()
    for tool in ("wine", "wineserver", "Xvfb", "xdotool", "import"):
        if not shutil.which(tool):
            print("wine window: skipped, %s is not installed" % tool)
            return 77
    os.umask(0o022)
    if os.path.exists(args.work):
        shutil.rmtree(args.work)
    os.makedirs(args.work)
    photos, upper, lower, again = trees(args.work)
    chosen = os.path.join(args.work, "chosen")
    typed = os.path.join(args.work, "typed out")
    os.makedirs(chosen)
    os.makedirs(typed)

    s = Session(args.folder, args.work, args.shots)
    passed = failed = 0
    started = time.monotonic()

    def step(title, body):
        nonlocal passed, failed
        t = time.monotonic()
        try:
            problems = body() or []
        except (Failure, subprocess.TimeoutExpired, OSError) as e:
            problems = [str(e)]
        print("%s %s (%.1f s)" % ("FAIL" if problems else "ok  ", title, time.monotonic() - t))
        for p in problems:
            print("     " + p)
        sys.stdout.flush()
        passed, failed = passed + (not problems), failed + bool(problems)
        return not problems

    def first_start():
        # One folder as Windows spells it, one with forward slashes.
        s.start_program(win(photos), win(upper), "Z:" + lower)
        s.choose_output_folder(win(chosen))
        s.type_output_folder(win(typed))
        s.shot("window")
        names = [os.path.join(typed, n) for n in ("Reisefotos Ü.zip", "Docs.zip", "docs (2).zip")]
        s.zip_and_wait(names, "done")
        problems = check_archive(names[0], photos) + check_archive(names[1], upper) \
            + check_archive(names[2], lower)
        found = sorted(os.listdir(typed))
        if found != sorted(os.path.basename(n) for n in names):
            problems.append("the output folder holds %s" % found)
        return problems

    def registry():
        s.quit_program()
        values = s.settings()
        want = {"Output Folder": win(typed), "LastFolderDot": win(chosen)}
        return ["%s is %r, want %r (all: %r)" % (k, values.get(k), v, values)
                for k, v in want.items() if values.get(k) != v]

    def second_start():
        s.start_program(win(again))
        s.zip_and_wait([os.path.join(typed, "Again.zip")], "done-again")
        s.quit_program()
        return check_archive(os.path.join(typed, "Again.zip"), again)

    try:
        s.start_x()
        s.start_wine()
        if step("three folders zipped, names kept, Docs and docs apart", first_start):
            if step("settings at " + SETTINGS_KEY, registry):
                step("settings read back on the next start", second_start)
    finally:
        s.stop()
    print("wine window: %.0f s" % (time.monotonic() - started))
    print("wine window: %d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
