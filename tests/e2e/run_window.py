#!/usr/bin/env python3
"""Drives the real program in a real window, as a person would.

Starts a private Xvfb, starts the program in it with a private home, and with
xdotool: loads the sample folders, types an output folder, zips, confirms the
closing box, checks the archives with unzip -t and Python's zipfile, deletes a
row and zips again, clears the list and zips once more. Then it adds, through
"Add One Folder" and its file dialog, a project folder with links out of it
and a folder whose name is not UTF-8, and two folders both called docs; zips
them and checks that each archive holds its own folder's files and nothing
else. Last it zips a folder of a few hundred MB followed by a small one,
watches the progress bar fill while the big one is zipped, presses Escape,
picks "Stop now" in the question with the keyboard and checks that the run
ends with "Stopped." and leaves nothing in the output folder. Screenshots of
the window go to the folder given by --shots.

Exit status: 0 passed, 1 failed, 77 skipped (no X tools on this machine).

    run_window.py --program build/bin/quillbarrow --shots build/e2e-shots
"""
import argparse
import ctypes
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile

TITLE = 'Quillbarrow'
STEP_TIMEOUT = 30.0     # seconds any single wait may take
RUN_TIMEOUT = 60.0      # seconds a run over the small trees made here may take
BROWSE_TITLE = 'Please select folder:'
BIG_FOLDER_MB = 400     # 50-70 s to zip on 2 busy cores; the run is stopped long before


def twips(t):
    return (t + 7) // 15


def centre(left, top, width, height, offset=(0, 0)):
    return (twips(left) + twips(width) // 2 + offset[0], twips(top) + twips(height) // 2 + offset[1])


# Control centres in window coordinates, from the window's design in twips.
FRAME = (twips(120), twips(3710))
LOAD_SAMPLES = centre(4080, 3260, 3840, 405)
CLEAR_LIST = centre(120, 3260, 3840, 405)
START = centre(120, 4640, 7800, 405)
ADD_ONE_FOLDER = centre(120, 2750, 3840, 405)
OUTPUT_BOX = centre(240, 300, 6660, 345, FRAME)
LIST = (twips(120), twips(120), twips(7800), twips(2535))
PROGRESS_BAR = (twips(120), twips(5160), twips(7800), twips(405))
FIRST_ROW = (twips(120) + 60, twips(120) + 30)   # below the column header


class Failure(Exception):
    pass


class Session:
    def __init__(self, program, shots):
        self.program = program
        self.shots = shots
        self.tmp = tempfile.mkdtemp(prefix='qb-e2e-')
        self.xvfb = None
        self.app = None
        self.display = None
        self.window = None
        self.env = None

    # ------------------------------------------------------------ plumbing

    def run(self, *args, timeout=STEP_TIMEOUT, check=True):
        result = subprocess.run(args, env=self.env, capture_output=True, text=True, timeout=timeout)
        if check and result.returncode != 0:
            raise Failure('%s failed (%d): %s' % (' '.join(args), result.returncode, result.stderr.strip()))
        return result.stdout

    def xdo(self, *args, check=True):
        return self.run('xdotool', *args, check=check)

    def wait_for(self, what, test, timeout=STEP_TIMEOUT):
        deadline = time.monotonic() + timeout
        while True:
            value = test()
            if value:
                return value
            if time.monotonic() > deadline:
                self.shot('timeout')
                raise Failure('timed out waiting for ' + what)
            time.sleep(0.1)

    def start_x(self):
        # The first display number that has no server yet; a server that
        # loses a race for it ends at once, and the next number is tried.
        for number in range(90, 190):
            if os.path.exists('/tmp/.X%d-lock' % number) or os.path.exists('/tmp/.X11-unix/X%d' % number):
                continue
            # -noreset: without it the server resets whenever its last client
            # leaves (our readiness probe), and a program connecting during
            # the reset is refused.
            self.xvfb = subprocess.Popen(
                ['Xvfb', ':%d' % number, '-screen', '0', '1024x768x24', '-nolisten', 'tcp', '-noreset'],
                stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.tmp, 'xvfb.log'), 'w'))
            deadline = time.monotonic() + STEP_TIMEOUT
            while (self.xvfb.poll() is None and time.monotonic() < deadline
                   and not os.path.exists('/tmp/.X11-unix/X%d' % number)):
                time.sleep(0.05)
            if self.xvfb.poll() is None and os.path.exists('/tmp/.X11-unix/X%d' % number):
                self.display = ':%d' % number
                break
            if self.xvfb.poll() is None:
                self.xvfb.kill()
                self.xvfb.wait(timeout=5)
        if not self.display:
            raise Failure('no X server could be started')
        home = os.path.join(self.tmp, 'home')
        runtime = os.path.join(self.tmp, 'run')
        os.makedirs(os.path.join(home, 'Desktop'))
        os.makedirs(runtime, mode=0o700)
        self.env = dict(os.environ, DISPLAY=self.display, HOME=home,
                        XDG_CONFIG_HOME=os.path.join(home, '.config'),
                        XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM='xcb')
        self.env.pop('WAYLAND_DISPLAY', None)
        self.wait_for('the X server to answer',
                      lambda: self.xvfb.poll() is None and subprocess.run(
                          ['xdotool', 'getmouselocation'], env=self.env, capture_output=True,
                          timeout=STEP_TIMEOUT).returncode == 0)

    def start_program(self):
        log = open(os.path.join(self.tmp, 'program.log'), 'w')
        self.app = subprocess.Popen([self.program], env=self.env, stdout=log, stderr=subprocess.STDOUT)
        self.window = self.wait_for('the main window', lambda: self.windows_named(TITLE)[:1])[0]
        self.xdo('windowfocus', '--sync', self.window, check=False)
        time.sleep(0.3)  # first paint

    def stop(self):
        for proc in (self.app, self.xvfb):
            if proc and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait(timeout=5)
        shutil.rmtree(self.tmp, ignore_errors=True)

    # ------------------------------------------------------------ the window

    def windows_named(self, name):
        out = self.xdo('search', '--onlyvisible', '--name', '^%s$' % name, check=False)
        return [w for w in out.split() if w]

    def geometry(self, window):
        values = dict(line.split('=', 1) for line in self.xdo('getwindowgeometry', '--shell', window).split())
        return int(values['X']), int(values['Y']), int(values['WIDTH']), int(values['HEIGHT'])

    def click(self, point):
        if self.app.poll() is not None:
            raise Failure('the program ended (status %s)' % self.app.returncode)
        self.xdo('mousemove', '--window', self.window, str(point[0]), str(point[1]))
        time.sleep(0.1)
        self.xdo('click', '1')
        time.sleep(0.2)

    def key(self, *keys):
        self.xdo('key', '--clearmodifiers', *keys)
        time.sleep(0.1)

    def shot(self, name, whole_screen=False):
        if not self.shots or not self.display:
            return None
        os.makedirs(self.shots, exist_ok=True)
        path = os.path.join(self.shots, name + '.png')
        target = 'root' if whole_screen or not self.window else self.window
        self.run('import', '-window', target, path, check=False)
        return path

    def difference(self, a, b, area=LIST, b_origin=(0, 0)):
        """Pixels that differ inside an area of the window between two shots:
        a of the window, b of the window or, with the window at b_origin, of
        the whole screen."""
        x, y, w, h = area
        crop_a, crop_b = ('[%dx%d+%d+%d]' % (w, h, x + dx, y + dy) for dx, dy in ((0, 0), b_origin))
        result = subprocess.run(['compare', '-metric', 'AE', '-fuzz', '5%', a + crop_a, b + crop_b, 'null:'],
                                env=self.env, capture_output=True, text=True, timeout=STEP_TIMEOUT)
        return int(float(result.stderr.split()[0]))

    def bar_filled(self, idle, name):
        """Width in pixels of the progress bar's filled part in a new shot:
        the pixels of a few rows above its text that differ from the idle bar."""
        x, y, w, _ = PROGRESS_BAR
        return self.difference(idle, self.shot(name), (x, y + 2, w, 4)) // 4

    def box_text(self, box):
        """The text of a message box, read as a person would copy it: a triple
        click on its first line (right of the icon) selects it all, and the X
        primary selection then holds it. Leaves the keyboard on the text."""
        self.xdo('mousemove', '--window', box, '70', '17')
        self.xdo('click', '--repeat', '3', '--delay', '100', '1')
        time.sleep(0.3)
        return primary_selection(self.display)

    def set_output_folder(self, folder):
        text = folder + '/'
        self.click(OUTPUT_BOX)
        self.key('ctrl+a')
        self.xdo('type', '--delay', '10', text)
        settings = os.path.join(self.env['XDG_CONFIG_HOME'], 'Kestrawin.conf')

        def saved():
            try:
                with open(settings, encoding='utf-8') as f:
                    return ('=' + text + '\n') in f.read()
            except OSError:
                return False
        self.wait_for('the output folder %s in the settings' % text, saved)

    def message_box(self):
        """(title, window) of a box beside the main window, or None."""
        for name in (TITLE, 'Application Error'):
            others = [w for w in self.windows_named(name) if w != self.window]
            if others:
                return name, others[0]
        return None

    def confirm_box(self, shot_name=None):
        """Waits for the one box a command ends with, returns its title."""
        title, window = self.wait_for('a message box', self.message_box, timeout=120)
        time.sleep(0.3)
        if shot_name:
            self.shot(shot_name, whole_screen=True)

        def closed():
            # Qt may swap the box's X window while laying it out: look it up
            # afresh, give it the keyboard, press Return.
            boxes = [w for w in self.windows_named(title) if w != self.window]
            if not boxes:
                return True
            self.xdo('windowfocus', '--sync', boxes[0], check=False)
            self.xdo('key', 'Return', check=False)
            time.sleep(0.3)
            return False
        self.wait_for('the box to close', closed)
        self.xdo('windowfocus', '--sync', self.window, check=False)
        if title != TITLE:
            raise Failure('the program reported an error (box "%s"); see %s' % (title, self.shots))
        return title

    def add_one_folder(self, folder):
        """"Add One Folder": the folder's path typed into the dialog's name box."""
        before = self.shot('before-add')
        self.click(ADD_ONE_FOLDER)
        self.wait_for('the folder dialog', lambda: self.windows_named(BROWSE_TITLE))
        time.sleep(0.5)  # laid out, name box focused
        self.xdo('windowfocus', '--sync', self.windows_named(BROWSE_TITLE)[0], check=False)
        self.key('ctrl+a')
        self.xdo('type', '--delay', '10', folder)
        # One Return only: the completer's popup lets it through, and the
        # dialog takes a typed path to an existing folder as the choice. A
        # second one would reach "Add One Folder", which keeps the focus, and
        # open the dialog again.
        self.key('Return')
        self.wait_for('the folder dialog to take ' + folder, lambda: not self.windows_named(BROWSE_TITLE))
        self.xdo('windowfocus', '--sync', self.window, check=False)
        after = self.shot('after-add')
        if before and after and self.difference(before, after) < 50:
            raise Failure('the list shows no new row after choosing %s in the folder dialog' % folder)

    def finish_run(self, idle, timeout):
        """Confirms the boxes of a run up to its closing one ("Done."), and
        returns the screen shots of those before it. Every box has the
        program's title; the closing one comes after the progress bar is back
        to its idle look, which tells it apart."""
        deadline = time.monotonic() + timeout
        earlier = []
        while True:
            self.wait_for('the run to end with "Done." (%d s allowed)' % timeout, self.message_box,
                          timeout=max(0.0, deadline - time.monotonic()))
            time.sleep(0.3)  # laid out; Qt may have swapped its X window meanwhile
            found = self.message_box()
            if not found:
                continue
            title, box = found
            if title != TITLE:
                raise Failure('the program reported an error (box "%s"); see %s' % (title, self.shots))
            screen = self.shot('box-%d' % len(earlier), whole_screen=True)
            origin = self.geometry(self.window)[:2]
            closing = not (idle and screen) or self.difference(idle, screen, PROGRESS_BAR, origin) < 20
            # Return to this box alone, pressed again only after a good wait:
            # the next box has the same title, and a stray Return after the
            # last one would reach "Start Zipping".
            for _ in range(3):
                self.xdo('windowfocus', '--sync', box, check=False)
                self.xdo('key', 'Return', check=False)
                gone = time.monotonic() + 5
                while box in self.windows_named(title) and time.monotonic() < gone:
                    time.sleep(0.1)
                if box not in self.windows_named(title):
                    break
            else:
                raise Failure('a box of the run does not close on Return; see %s' % screen)
            if closing:
                self.xdo('windowfocus', '--sync', self.window, check=False)
                return earlier
            earlier.append(screen)


def primary_selection(display, timeout=5.0):
    """The text of the X primary selection, through libX11 (xdotool's own
    library), or None when no program holds it."""
    x = ctypes.CDLL('libX11.so.6')
    ulong, ptr = ctypes.c_ulong, ctypes.c_void_p
    x.XOpenDisplay.restype = ptr
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XDefaultRootWindow.restype = ulong
    x.XDefaultRootWindow.argtypes = [ptr]
    x.XCreateSimpleWindow.restype = ulong
    x.XCreateSimpleWindow.argtypes = [ptr, ulong, ctypes.c_int, ctypes.c_int] + [ctypes.c_uint] * 3 + [ulong] * 2
    x.XInternAtom.restype = ulong
    x.XInternAtom.argtypes = [ptr, ctypes.c_char_p, ctypes.c_int]
    x.XConvertSelection.argtypes = [ptr] + [ulong] * 5
    x.XPending.argtypes = x.XCloseDisplay.argtypes = x.XFree.argtypes = [ptr]
    x.XNextEvent.argtypes = [ptr, ptr]
    x.XGetWindowProperty.argtypes = [ptr, ulong, ulong, ctypes.c_long, ctypes.c_long, ctypes.c_int, ulong,
                                     ctypes.POINTER(ulong), ctypes.POINTER(ctypes.c_int),
                                     ctypes.POINTER(ulong), ctypes.POINTER(ulong), ctypes.POINTER(ptr)]
    d = x.XOpenDisplay(display.encode())
    if not d:
        return None
    try:
        w = x.XCreateSimpleWindow(d, x.XDefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0)
        prop = x.XInternAtom(d, b'QB_E2E_TEXT', 0)
        x.XConvertSelection(d, 1, x.XInternAtom(d, b'UTF8_STRING', 0), prop, w, 0)   # 1: XA_PRIMARY
        event = (ctypes.c_long * 24)()   # an XEvent
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not x.XPending(d):
                time.sleep(0.02)
                continue
            x.XNextEvent(d, event)
            if ctypes.cast(event, ctypes.POINTER(ctypes.c_int))[0] != 31:   # SelectionNotify
                continue
            if event[7] == 0:   # its property: none, the owner had no text to give
                return None
            kind, unit, n, left, data = ulong(), ctypes.c_int(), ulong(), ulong(), ptr()
            x.XGetWindowProperty(d, w, prop, 0, 1 << 20, 1, 0, ctypes.byref(kind), ctypes.byref(unit),
                                 ctypes.byref(n), ctypes.byref(left), ctypes.byref(data))
            if not data:
                return ''
            text = ctypes.string_at(data, n.value).decode('utf-8', 'replace')
            x.XFree(data)
            return text
        return None
    finally:
        x.XCloseDisplay(d)


def archives(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith('.zip'))


def check_archive(path, source):
    test = subprocess.run(['unzip', '-t', path], capture_output=True, text=True, timeout=STEP_TIMEOUT)
    if test.returncode != 0:
        raise Failure('unzip -t %s: %s' % (path, test.stdout + test.stderr))
    with zipfile.ZipFile(path) as z:
        if z.testzip() is not None:
            raise Failure('zipfile finds a bad entry in ' + path)
        names = set()
        for info in z.infolist():
            name = info.filename
            if not info.flag_bits & 0x800:   # no UTF-8 flag: zipfile read it as CP437
                try:
                    name = name.encode('cp437').decode('utf-8')
                except UnicodeError:
                    pass
            names.add(name.rstrip('/'))
    # Every visible file must be there; what happens to hidden ones is the
    # engine's business and tested with it.
    expected = set()
    for dirpath, dirnames, filenames in os.walk(source):
        dirnames[:] = [d for d in dirnames if not d.startswith('.')]
        for f in filenames:
            if not f.startswith('.'):
                expected.add(os.path.relpath(os.path.join(dirpath, f), source))
    # An archive holds the folder by its own name: "1/", "1/a.txt".
    top = os.path.basename(source)
    outside = sorted(n for n in names if n != top and not n.startswith(top + '/'))
    if outside:
        raise Failure('%s holds entries outside %s/: %s' % (path, top, outside[:5]))
    missing = {e for e in expected if top + '/' + e not in names}
    if missing:
        raise Failure('%s lacks %s; it holds %s' % (path, sorted(missing), sorted(names)))


def stored_entries(path):
    """name (bytes as stored) -> contents, for an archive that unzip -t and zipfile accept."""
    test = subprocess.run(['unzip', '-t', path], capture_output=True, text=True, errors='replace',
                          timeout=STEP_TIMEOUT)
    if test.returncode != 0:
        raise Failure('unzip -t %s: %s' % (path, test.stdout + test.stderr))
    try:
        with zipfile.ZipFile(path) as z:
            if z.testzip() is not None:
                raise Failure('zipfile finds a bad entry in ' + path)
            # A name without the UTF-8 flag was read as CP437: back to its bytes.
            return {i.filename.encode('utf-8' if i.flag_bits & 0x800 else 'cp437'): z.read(i)
                    for i in z.infolist()}
    except (zipfile.BadZipFile, UnicodeError) as e:
        raise Failure('zipfile cannot read %s: %s' % (path, e))


def folder_problems(out, expected):
    """What is wrong with the archives in out, given archive name -> folder:
    each must hold every real file of its folder with its bytes, under its
    path within the folder, and nothing else (nothing reached through a link,
    nothing from beside the folder)."""
    problems = []
    if archives(out) != sorted(expected):
        problems.append('archives written: %s, expected %s' % (archives(out), sorted(expected)))
    for name, folder in sorted(expected.items()):
        path = os.path.join(out, name)
        if not os.path.exists(path):
            continue
        try:
            entries = stored_entries(path)
        except Failure as e:
            problems.append(str(e))
            continue
        top = os.fsencode(folder)
        files, folders, links = {}, {b''}, set()
        for dirpath, dirnames, filenames in os.walk(top):   # links to folders are not entered
            rel = os.path.relpath(dirpath, top) + b'/' if dirpath != top else b''
            folders.add(rel)
            links.update(rel + d for d in dirnames if os.path.islink(os.path.join(dirpath, d)))
            for f in filenames:
                with open(os.path.join(dirpath, f), 'rb') as data:
                    files[rel + f] = data.read()
        # Stored under the folder's whole path without its leading '/', or
        # from the folder's own name on.
        prefixes = [p.lstrip(b'/') + b'/' for p in (top, os.path.realpath(top))]
        prefixes.append(os.path.basename(top) + b'/')
        held, extra, where = {}, [], set()
        for entry, data in entries.items():
            rel = next((entry[len(p):] for p in prefixes if entry.startswith(p)), None)
            if rel in files:
                held[rel] = data
            elif rel not in folders and rel not in links:   # a link may be stored as one
                extra.append(entry)
                where.add('(outside it)' if rel is None else
                          os.fsdecode(rel.split(b'/')[0] + b'/' * (b'/' in rel)))
        missing = sorted(set(files) - set(held))
        wrong = sorted(r for r in held if held[r] != files[r])
        if missing:
            problems.append('%s lacks %s' % (name, ', '.join(map(repr, missing))))
        if wrong:
            problems.append('%s holds other bytes for %s' % (name, ', '.join(map(repr, wrong))))
        if extra:
            problems.append('%s holds %d entries not in %s: %s; e.g. %s' % (
                name, len(extra), folder, ', '.join(sorted(where)), ', '.join(map(repr, sorted(extra)[:4]))))
    return problems


def make_trees(root):
    """A project folder with links out of it and a folder whose name is not
    UTF-8, and two folders both called docs. Returns archive name -> folder."""
    proj = os.path.join(root, 'proj')
    os.makedirs(os.path.join(proj, 'src'))
    for name, data in (('readme.txt', b'read me\n'), ('notes.md', b'# notes\n' * 50),
                       ('data.bin', os.urandom(20000)), ('src/main.c', b'int main(void) { return 0; }\n')):
        with open(os.path.join(proj, name), 'wb') as f:
            f.write(data)
    odd = os.path.join(os.fsencode(proj), b'bad\xffname')
    os.makedirs(odd)
    with open(os.path.join(odd, b'f.txt'), 'wb') as f:
        f.write(b'below a name that is not UTF-8\n')
    os.symlink('/', os.path.join(proj, 'sysroot'))
    os.symlink('..', os.path.join(proj, 'up'))
    os.symlink('src', os.path.join(proj, 'inner'))
    folders = {'proj.zip': proj}
    for side, archive in (('a', 'docs.zip'), ('b', 'docs (2).zip')):
        docs = os.path.join(root, side, 'docs')
        os.makedirs(docs)
        with open(os.path.join(docs, 'from-%s.txt' % side), 'w') as f:
            f.write('the docs beside %s\n' % side)
        folders[archive] = docs
    return folders


def make_long_folders(root, megabytes):
    """A folder of a few large files of seeded pseudo-random text over a few
    letters, which deflate shrinks to about a third but only slowly, and a
    small folder to list after it. Blocks of 1 MiB in random order: deflate
    sees 32 KiB back, so the repeats gain it nothing."""
    rng = random.Random(20261208)
    blocks = [''.join(rng.choices('acgt \n', weights=[6, 6, 6, 6, 2, 1], k=1 << 20)).encode()
              for _ in range(4)]
    big, small = os.path.join(root, 'big'), os.path.join(root, 'small')
    os.makedirs(big)
    os.makedirs(small)
    for n in range(4):
        with open(os.path.join(big, 'part%d.txt' % n), 'wb') as f:
            for _ in range(megabytes // 4):
                f.write(blocks[rng.randrange(len(blocks))])
    with open(os.path.join(small, 'a.txt'), 'w') as f:
        f.write('listed after the big folder\n')
    return big, small


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--program', required=True)
    parser.add_argument('--shots', default='')
    args = parser.parse_args()

    for tool in ('Xvfb', 'xdotool', 'import', 'compare', 'unzip'):
        if not shutil.which(tool):
            print('SKIP: %s is not installed (./quillbarrow.sh test installs it)' % tool)
            return 77
    program = os.path.abspath(args.program)
    samples = os.path.join(os.path.dirname(program), 'Samples')
    for n in ('1', '2', '3'):
        if not os.path.isdir(os.path.join(samples, n)):
            print('FAIL: the sample folder %s is missing beside the program' % os.path.join(samples, n))
            return 1

    session = Session(program, os.path.abspath(args.shots) if args.shots else '')
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        session.start_x()
        session.start_program()
        out1, out2 = (os.path.join(session.tmp, d) for d in ('out1', 'out2'))
        os.makedirs(out1)
        os.makedirs(out2)
        idle = session.shot('idle')

        # Load the samples and zip them.
        session.click(LOAD_SAMPLES)
        session.set_output_folder(out1)
        loaded = session.shot('loaded')
        if idle and loaded and session.difference(idle, loaded) < 100:
            raise Failure('the list shows no rows after "Load Sample/Example Files"')
        session.click(START)
        session.confirm_box('finished')
        session.shot('after-run')
        if archives(out1) != ['1.zip', '2.zip', '3.zip']:
            raise Failure('archives after the first run: %s' % archives(out1))
        for n in ('1', '2', '3'):
            check_archive(os.path.join(out1, n + '.zip'), os.path.join(samples, n))

        # Delete the second row: the next run leaves it out.
        session.click(FIRST_ROW)
        session.key('Down')
        session.key('Delete')
        session.set_output_folder(out2)
        session.click(START)
        session.confirm_box()
        if archives(out2) != ['1.zip', '3.zip']:
            raise Failure('archives after deleting row 2: %s' % archives(out2))

        # Clear the list: it shows no rows and a run writes nothing.
        session.click(CLEAR_LIST)
        cleared = session.shot('cleared')
        if idle and cleared and session.difference(idle, cleared) > 50:
            raise Failure('the list still shows rows after "Clear List"')
        for f in archives(out2):
            os.remove(os.path.join(out2, f))
        session.click(START)
        session.confirm_box()
        if archives(out2):
            raise Failure('a run of an empty list wrote %s' % archives(out2))
        # Enter presses the focused button, as Space does: the last click
        # left the keyboard on "Start Zipping", and the empty list says so.
        session.key('Return')
        session.confirm_box()
        if session.app.poll() is not None:
            raise Failure('the program ended early (status %s)' % session.app.returncode)
        print('PASS: samples zipped and verified, row deleted, list cleared')

        # Two docs folders, then a project with links out of it: each folder
        # becomes an archive of its own, holding what is inside it and only
        # that. The project goes last so that a walk that runs away through
        # a link leaves the docs archives finished to look at.
        out3 = os.path.join(session.tmp, 'out3')
        os.makedirs(out3)
        expected = make_trees(os.path.join(session.tmp, 'trees'))
        for archive in ('docs.zip', 'docs (2).zip', 'proj.zip'):
            session.add_one_folder(expected[archive])
        session.set_output_folder(out3)
        session.click(START)
        problems = []
        try:
            for screen in session.finish_run(idle, RUN_TIMEOUT):
                print('NOTE: the run showed a box before "Done.": %s' % screen)
        except Failure as e:
            problems.append(str(e))
        session.shot('trees-run')
        if problems and session.app.poll() is None:
            # Stop a run that is still going before looking at what it wrote.
            session.app.kill()
            session.app.wait(timeout=STEP_TIMEOUT)
        problems += folder_problems(out3, expected)
        if problems:
            raise Failure('the run over the project and docs folders:\n  ' + '\n  '.join(problems))
        print('PASS: project, links and both docs folders zipped, each on its own')

        # A big folder, then a small one. The bar moves while the big one is
        # zipped; Escape asks whether to stop, and "Stop now" gives up the
        # archive being written: nothing of either folder is left.
        started = time.monotonic()
        out4 = os.path.join(session.tmp, 'out4')
        os.makedirs(out4)
        big, small = make_long_folders(os.path.join(session.tmp, 'long'), BIG_FOLDER_MB)
        session.click(CLEAR_LIST)
        session.add_one_folder(big)
        session.add_one_folder(small)
        session.set_output_folder(out4)
        session.click(START)
        first = session.wait_for('the bar to move', lambda: session.bar_filled(idle, 'long-0'))
        filled = [first]
        while len(filled) < 15 and (len(filled) < 3 or filled[-1] <= first):
            time.sleep(1)
            filled.append(session.bar_filled(idle, 'long-%d' % len(filled)))
        if os.path.exists(os.path.join(out4, 'big.zip')):
            raise Failure('the big folder was zipped within %.0f s: make BIG_FOLDER_MB larger'
                          % (time.monotonic() - started))
        if filled != sorted(filled) or filled[-1] <= first or filled[-1] >= PROGRESS_BAR[2] // 2:
            raise Failure('the bar, filled in pixels of %d, once a second while the first of two '
                          'folders was zipped: %s' % (PROGRESS_BAR[2], filled))

        session.xdo('windowfocus', '--sync', session.window, check=False)
        session.key('Escape')
        session.wait_for('a question after Escape', session.message_box)
        time.sleep(0.3)   # laid out; Qt may have swapped its X window meanwhile
        _, question = session.wait_for('the question', session.message_box)
        text = session.box_text(question)
        if text != 'Stop after the current folder?':
            raise Failure('Escape during a run showed %r, not the question' % text)
        # The keyboard is on the text now: Tab to "Finish this folder, then
        # stop", Tab to "Stop now", Space.
        session.xdo('key', 'Tab', 'Tab')
        time.sleep(0.2)
        session.shot('stop-now', whole_screen=True)
        session.xdo('key', 'space')
        session.wait_for('the question to close', lambda: question not in session.windows_named(TITLE))
        session.wait_for('the box that ends the run', session.message_box)
        time.sleep(0.3)
        _, closing = session.wait_for('the box that ends the run', session.message_box)
        text = session.box_text(closing)
        session.confirm_box('stopped')
        left = sorted(os.listdir(out4))
        if text != 'Stopped. 0 of 2 folders were zipped; 2 were not.' or left:
            raise Failure('after "Stop now" in the first of two folders the run ended with %r, '
                          'leaving %s in the output folder' % (text, left))
        session.shot('after-stop')
        print('PASS: the bar moved within one folder, and "Stop now" left nothing (%.0f s)'
              % (time.monotonic() - started))
        return 0
    except (Failure, subprocess.TimeoutExpired) as e:
        print('FAIL: %s' % e)
        for name in ('program.log', 'xvfb.log'):
            log = os.path.join(session.tmp, name)
            if os.path.exists(log):
                print('%s:\n%s' % (name, open(log, errors='replace').read()))
        return 1
    finally:
        session.stop()


if __name__ == '__main__':
    sys.exit(main())
