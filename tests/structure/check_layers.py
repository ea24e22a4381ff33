#!/usr/bin/env python3
"""The product's layers, checked from its includes.

    check_layers.py [ROOT]     (default: the repository this file is in)

Four rules, each a list of what breaks it, exit 1 when any does:
- the top-level folders include only downward: app, window, core, zip32;
- inside the engine (zip32/src) the role folders include only downward:
  api, write, compress, names, messages, platform (the public header,
  zip32/include, is for everyone);
- no two modules (a header and its source, by path without the extension)
  include each other, directly or round a circle;
- only the platform files branch on the system: zip32/src/platform/, the
  files named Platform*.h/.cpp of core/ and window/, and the public header's
  export marking.
"""
import os
import re
import sys

TOP = ["app", "window", "core", "zip32"]
ENGINE = ["api", "write", "compress", "names", "messages", "platform"]
SOURCE = (".h", ".hpp", ".cpp", ".cc", ".c")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)
SYSTEM = re.compile(r"\b(_WIN32|_WIN64|Q_OS_[A-Z]+|__linux__|__unix__|__APPLE__|_MSC_VER|__MINGW\w*)\b")
BRANCH = re.compile(r"^\s*#\s*(?:if|ifdef|ifndef|elif)\b.*$", re.M)


def product_files(root):
    files = []
    for top in TOP:
        for folder, _, names in os.walk(os.path.join(root, top)):
            files += [os.path.relpath(os.path.join(folder, n), root).replace(os.sep, "/")
                      for n in names if n.endswith(SOURCE)]
    return sorted(files)


def resolve(include, path, known):
    """The product file an include names: beside the file, from the root, or
    from the engine's source and header folders, as the build finds them."""
    here = os.path.dirname(path)
    for base in (here, "", "zip32/src", "zip32/include"):
        candidate = os.path.normpath(os.path.join(base, include)).replace(os.sep, "/")
        if candidate in known:
            return candidate
    return None


def layer(path):
    """(rank, name) of the layer a file belongs to; the engine's role folders
    rank below the top-level folders above zip32, the public header with
    everything that may include it."""
    parts = path.split("/")
    if parts[0] != "zip32":
        return TOP.index(parts[0]), parts[0]
    if parts[1] == "include":
        return len(TOP) + len(ENGINE), "zip32/include"
    if parts[1] == "src" and len(parts) > 3 and parts[2] in ENGINE:
        return len(TOP) + ENGINE.index(parts[2]), "zip32/src/" + parts[2]
    return len(TOP) - 1, "zip32"


def upward_includes(edges):
    found = []
    for source, target in edges:
        (rank_from, name_from), (rank_to, name_to) = layer(source), layer(target)
        if rank_to < rank_from:
            found.append("%s includes %s: %s is above %s" % (source, target, name_to, name_from))
    return found


def module_of(path, headers):
    """A file's module: its path without the extension; a source with no
    header of its own (PlatformPosix.cpp) belongs to the header whose name
    begins its own in the same folder (Platform.h)."""
    stem = os.path.splitext(path)[0]
    if stem in headers:
        return stem
    folder, name = os.path.split(stem)
    owners = [h for h in headers if os.path.dirname(h) == folder and name.startswith(os.path.basename(h))]
    return max(owners, key=len) if owners else stem


def module_circles(edges, files):
    """Strongly connected groups of more than one module (Tarjan's walk)."""
    headers = {os.path.splitext(f)[0] for f in files if f.endswith((".h", ".hpp"))}
    graph = {}
    for source, target in edges:
        a, b = module_of(source, headers), module_of(target, headers)
        if a != b:
            graph.setdefault(a, set()).add(b)
    index, low, stack, on_stack, circles = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                circles.append("modules include each other: " + " <-> ".join(sorted(group)))

    sys.setrecursionlimit(10000)
    for v in sorted(graph):
        if v not in index:
            visit(v)
    return circles


def may_branch(path):
    name = os.path.basename(path)
    return (path.startswith("zip32/src/platform/") or path == "zip32/include/zip32.h"
            or (path.split("/")[0] in ("core", "window") and name.startswith("Platform")))


def system_branches(root, files):
    found = []
    for path in files:
        if may_branch(path):
            continue
        text = open(os.path.join(root, path), errors="replace").read()
        for line in BRANCH.findall(text):
            if SYSTEM.search(line):
                found.append("%s branches on the system outside the platform files: %s" % (path, line.strip()))
    return found


def check(root):
    files = product_files(root)
    known = set(files)
    edges = []
    for path in files:
        for include in INCLUDE.findall(open(os.path.join(root, path), errors="replace").read()):
            target = resolve(include, path, known)
            if target:
                edges.append((path, target))
    return upward_includes(edges) + module_circles(edges, files) + system_branches(root, files)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
    problems = check(root)
    for problem in problems:
        print(problem)
    if problems:
        return 1
    print("layers hold: %s; engine: %s" % (" -> ".join(TOP), " -> ".join(ENGINE)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
