#!/usr/bin/env python3
"""The file managers' "Zip each folder separately" and "Open with
Quillbarrow": the application's entry passes desktop-file-validate and
claims no folders; the Dolphin service menu and the Nemo actions, which
desktop-file-validate rejects, have exactly the keys their readers know;
then each "zip each" command runs as its file manager runs it, on two
folders, and on a folder whose parent cannot be written.

    file_manager_actions.py ACTIONS_DIR APPLICATION_ENTRY [PROGRAM]

ACTIONS_DIR holds the service menu and the .nemo_action files (the source
tree's packaging/file-managers), or is the share/ folder they are installed
in (kio/servicemenus/, nemo/actions/). The actions run
"quillbarrow" from PATH; with PROGRAM given, that is PROGRAM. A fake
notify-send records each notification. Prints one line per problem and a
summary; exits 1 on any problem."""

import configparser
import glob
import json
import os
import shlex
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import zipcheck  # noqa: E402

# The keys each reader knows, the required ones first.
SERVICE_MENU = ({"Type", "MimeType", "Actions"}, {"X-KDE-ServiceTypes", "X-KDE-Protocols", "Icon"})
SERVICE_ACTION = ({"Name", "Exec"}, {"Icon"})
NEMO_ACTION = ({"Name", "Exec", "Selection", "Extensions"}, {"Comment", "Icon-Name", "Quote", "Dependencies"})


def read(path):
    entry = configparser.ConfigParser(interpolation=None, strict=True, delimiters=("=",))
    entry.optionxform = str   # keys are case-sensitive
    entry.read(path, encoding="utf-8")
    return entry


def key_problems(name, group, known):
    required, optional = known
    keys = set(group)
    return ["%s: missing %s" % (name, k) for k in sorted(required - keys)] + \
           ["%s: unknown key %s" % (name, k) for k in sorted(keys - required - optional)]


def check_files(actions_dir, app_entry):
    """The zip-each commands, as (how %F expands, Exec), and the problems."""
    problems, commands = [], []
    said = subprocess.run(["desktop-file-validate", app_entry], capture_output=True, text=True)
    if said.returncode or said.stdout.strip():
        problems.append("desktop-file-validate: %s" % said.stdout.strip())
    if "inode/directory" in read(app_entry)["Desktop Entry"].get("MimeType", ""):
        problems.append("the application claims folders")
    menus = glob.glob(os.path.join(actions_dir, "quillbarrow*.desktop")) + \
        glob.glob(os.path.join(actions_dir, "kio", "servicemenus", "quillbarrow*.desktop"))
    nemo = glob.glob(os.path.join(actions_dir, "quillbarrow*.nemo_action")) + \
        glob.glob(os.path.join(actions_dir, "nemo", "actions", "quillbarrow*.nemo_action"))
    if len(menus) != 1 or len(nemo) != 2:
        return problems + ["found service menus %s and Nemo actions %s" % (menus, nemo)], commands
    menu = read(menus[0])
    top = menu["Desktop Entry"]
    problems += key_problems("service menu", top, SERVICE_MENU)
    actions = [a for a in top.get("Actions", "").split(";") if a]
    groups = [g[len("Desktop Action "):] for g in menu.sections() if g.startswith("Desktop Action ")]
    if top.get("Type") != "Service" or "inode/directory;" not in top.get("MimeType", "") or actions != groups:
        problems.append("service menu: type %s, actions %s, groups %s" % (top.get("Type"), actions, groups))
    execs = [("kio", menu["Desktop Action " + g]) for g in groups]
    for g in groups:
        problems += key_problems("service menu action " + g, menu["Desktop Action " + g], SERVICE_ACTION)
    for path in nemo:
        action = read(path)["Nemo Action"]
        problems += key_problems(os.path.basename(path), action, NEMO_ACTION)
        if action.get("Selection") != "notnone" or action.get("Extensions") != "dir;" or action.get("Quote") != "double":
            problems.append("%s: not for selected folders, or paths not quoted" % path)
        execs.append(("nemo", action))
    names = sorted(a.get("Name") for _, a in execs)
    if names != ["Open with Quillbarrow"] * 2 + ["Zip each folder separately"] * 2:
        problems.append("menu entries: %s" % names)
    for how, action in execs:
        words = shlex.split(action.get("Exec", ""))
        if words[:1] != ["quillbarrow"] or words[-1:] != ["%F"]:
            problems.append("%s: Exec %r" % (action.get("Name"), action.get("Exec")))
        elif "--beside" in words:
            commands.append((how, action["Exec"]))
    return problems, commands


def expand(how, command, folders):
    """The command line a file manager runs: KIO hands each path over as an
    argument; Nemo quotes each path in the text and splits it as a shell."""
    if how == "kio":
        return [w for word in shlex.split(command) for w in (folders if word == "%F" else [word])]
    quoted = " ".join('"%s"' % f.replace("\\", "\\\\").replace('"', '\\"') for f in folders)
    return shlex.split(command.replace("%F", quoted))


def run_action(root, argv, env, prefix=()):
    record = os.path.join(root, "notified")
    if os.path.exists(record):
        os.remove(record)
    done = subprocess.run(list(prefix) + argv, env=env, capture_output=True, timeout=300)
    notes = [json.loads(line) for line in open(record)] if os.path.exists(record) else []
    return done, notes


def run_checks(root, commands, program):
    bindir = os.path.join(root, "bin")
    os.makedirs(bindir)
    with open(os.path.join(bindir, "notify-send"), "w") as f:
        f.write("#!/usr/bin/env python3\nimport json, sys\nopen(%r, 'a').write(json.dumps(sys.argv[1:]) + '\\n')\n"
                % os.path.join(root, "notified"))
    os.chmod(os.path.join(bindir, "notify-send"), 0o755)
    if program:
        os.symlink(os.path.abspath(program), os.path.join(bindir, "quillbarrow"))
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env["PATH"] = bindir + os.pathsep + env.get("PATH", "")
    problems = []
    for how, command in commands:
        folders = []
        for parent, name in (("photos", "Trip \"one\" $HOME"), ("work", "Notes")):
            folder = os.path.join(root, how, parent, name)
            os.makedirs(os.path.join(folder, "sub"))
            with open(os.path.join(folder, "sub", "a.txt"), "w") as f:
                f.write("data of " + name)
            folders.append(folder)
        done, notes = run_action(root, expand(how, command, folders), env)
        titles = [n[-1] for n in notes]
        if done.returncode != 0 or titles != ["Quillbarrow: 2 archives written"]:
            problems.append("%s: exit %d, notified %s: %r" % (how, done.returncode, notes, done.stderr[-300:]))
        for folder in folders:
            problems += ["%s: %s" % (how, p) for p in zipcheck.full_check(folder + ".zip",
                                                                          zipcheck.expected_entries(folder),
                                                                          extract=False)]
    # A folder whose parent cannot be written: named in the notification.
    locked = os.path.join(root, "locked")
    os.makedirs(os.path.join(locked, "Kept"))
    prefix = ["unshare", "-m", "sh", "-c", 'mount --bind "$0" "$0" && mount -o remount,ro,bind "$0" "$0" && exec "$@"',
              locked] if os.geteuid() == 0 else []
    if not prefix:
        os.chmod(locked, 0o555)
    done, notes = run_action(root, expand("kio", commands[0][1], [os.path.join(locked, "Kept")]), env, prefix)
    if done.returncode != 1 or len(notes) != 1 or "1 folder failed" not in notes[0][-2] \
            or os.path.join(locked, "Kept") not in notes[0][-1] or "--urgency=critical" not in notes[0]:
        problems.append("parent not writable: exit %d, notified %s" % (done.returncode, notes))
    os.chmod(locked, 0o755)
    return problems


def main():
    if len(sys.argv) not in (3, 4):
        raise SystemExit(__doc__)
    problems, commands = check_files(sys.argv[1], sys.argv[2])
    if len(commands) != 2:
        problems.append("zip-each commands found: %s" % commands)
    else:
        with tempfile.TemporaryDirectory(prefix="qb-actions-") as root:
            problems += run_checks(root, commands, sys.argv[3] if len(sys.argv) == 4 else None)
    for problem in problems:
        print("file-manager actions: %s" % problem)
    print("file-manager actions: %s" % ("%d problems" % len(problems) if problems else "passed"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
