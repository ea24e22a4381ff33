#!/usr/bin/env python3
"""Writes the installer's file lists for makensis (packaging/windows/quillbarrow.nsi
runs it through !system): INSTALL gets a File line for every file of the
program's folder and a CreateDirectory for every folder (empty ones too:
the samples hold one), UNINSTALL a Delete for each of those files and an
RMDir, never /r, for each folder, deepest first, so that whatever a user
has put beside them stays.

    installer_files.py SOURCE INSTALL UNINSTALL"""
import os
import sys


def nsis(text):
    """A string as NSIS reads it between double quotes."""
    return text.replace("$", "$$").replace('"', '$\\"')


def main():
    source, install, uninstall = sys.argv[1:4]
    source = os.path.abspath(source)
    folders, files = [], []
    for top, dirs, names in os.walk(source):
        dirs.sort()
        rel = os.path.relpath(top, source)
        rel = "" if rel == "." else rel.replace("/", "\\")
        if rel:
            folders.append(rel)
        files += [(rel, name, os.path.join(top, name)) for name in sorted(names)]
    if not any(rel == "" and name.lower() == "quillbarrow.exe" for rel, name, _ in files):
        sys.exit("installer_files.py: %s holds no quillbarrow.exe" % source)
    with open(install, "w", encoding="utf-8") as out:
        for rel in folders:
            out.write('CreateDirectory "$INSTDIR\\%s"\n' % nsis(rel))
        current = None
        for rel, name, path in files:
            if rel != current:
                out.write('SetOutPath "$INSTDIR%s"\n' % nsis("\\" + rel if rel else ""))
                current = rel
            out.write('File "%s"\n' % nsis(path))
        out.write('SetOutPath "$INSTDIR"\n')
    with open(uninstall, "w", encoding="utf-8") as out:
        for rel, name, _ in files:
            out.write('Delete "$INSTDIR\\%s"\n' % nsis(rel + "\\" + name if rel else name))
        for rel in sorted(folders, key=lambda f: f.count("\\"), reverse=True):
            out.write('RMDir "$INSTDIR\\%s"\n' % nsis(rel))


if __name__ == "__main__":
    main()
