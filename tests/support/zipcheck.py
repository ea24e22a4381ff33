#!/usr/bin/env python3
"""Reading archives back: four independent readers, a header lint, and the
expected contents of a folder tree. Imported by the reliability scripts;
run as a program by the engine's tests:

    zipcheck.py ARCHIVE

prints one JSON object: "entries", one per entry in directory order (name as
hex of its raw bytes, sha256 of the data or null for a folder, Unix mode,
extended-timestamp mtime or null, method, flags, size), and "problems", the
CRC errors Python's zipfile finds followed by the header lint's findings.

Names are bytes throughout: a file name on Linux is bytes, and an archive
must keep those bytes whether or not they are UTF-8."""

import hashlib
import json
import mmap
import os
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

ZIP64_LIMIT = 0xFFFFFFFF


def is_utf8(data):
    try:
        data.decode("utf-8", "strict")
        return True
    except UnicodeDecodeError:
        return False


def hidden(rel_parts):
    return any(p.startswith(b".") for p in rel_parts)


def expected_entries(folder, follow_links=False):
    """What the archive of a listed folder must hold, its names starting at
    the folder's own name ("Trip/sub/a.jpg"): stored name (bytes)
    -> (is_dir, mode, mtime, data or None for folders). Hidden items and
    everything below them are left out, and so are special files. A link
    whose target lies inside the folder stores the file it leads to, or
    nothing for a folder (the walk names it); any other link, broken ones
    included, is stored as a link: its own mode and its target's text. With
    follow_links, links out of the folder are followed instead."""
    folder = os.path.abspath(os.fsencode(folder))
    real_root = os.path.realpath(folder)
    out = {}

    parent = os.path.dirname(folder)

    def stored(path):
        return os.path.relpath(path, parent)

    def inside(path):
        target = os.path.realpath(path)
        return target == real_root or target.startswith(real_root + b"/")

    def add(path, st, data):
        out[stored(path) + (b"/" if data is None else b"")] = (data is None, st.st_mode, int(st.st_mtime), data)

    pending, entered = [folder], set()
    while pending:
        dirpath = pending.pop()
        st = os.stat(dirpath)
        if (st.st_dev, st.st_ino) in entered:   # no folder twice: a link loop ends
            continue
        entered.add((st.st_dev, st.st_ino))
        add(dirpath, st, None)
        for name in sorted(os.listdir(dirpath)):
            if name.startswith(b"."):
                continue
            path = os.path.join(dirpath, name)
            lst = os.lstat(path)
            try:
                st = os.stat(path)
            except OSError:
                st = None   # broken link
            if stat.S_ISLNK(lst.st_mode) and (st is None or not (follow_links or inside(path))):
                add(path, lst, os.readlink(path))
                continue
            if stat.S_ISDIR(st.st_mode):
                if not stat.S_ISLNK(lst.st_mode) or (follow_links and not inside(path)):
                    pending.append(path)
            elif stat.S_ISREG(st.st_mode):
                with open(path, "rb") as fh:
                    add(path, st, fh.read())
    return out


def run(cmd, timeout=600):
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)
    return p.returncode, p.stdout.decode("utf-8", "replace")


def readers_accept(archive):
    """Problems reported by unzip -t, 7zz t and bsdtar; empty when all three
    accept the archive."""
    problems = []
    rc, text = run(["unzip", "-tqq", archive])
    if rc != 0:
        problems.append("unzip -t: exit %d: %s" % (rc, text.strip()[-400:]))
    rc, text = run(["7zz", "t", archive])
    if rc != 0 or "Everything is Ok" not in text:
        problems.append("7zz t: exit %d: %s" % (rc, text.strip()[-400:]))
    rc, text = run(["bsdtar", "-tf", archive])
    if rc != 0:
        problems.append("bsdtar -t: exit %d: %s" % (rc, text.strip()[-400:]))
    return problems


def bsdtar_extract(archive, expected):
    """Extracts with bsdtar and compares the bytes of every entry whose name
    is UTF-8 (bsdtar converts other names by its own rules)."""
    problems = []
    with tempfile.TemporaryDirectory(prefix="qb-bsdtar-") as dest:
        rc, text = run(["bsdtar", "-xf", archive, "-C", dest])
        for name, (is_dir, mode, mtime, data) in expected.items():
            if not is_utf8(name):
                continue
            path = os.path.join(os.fsencode(dest), name.rstrip(b"/"))
            if is_dir:
                if not os.path.isdir(path):
                    problems.append("bsdtar: folder missing: %r" % name)
                continue
            if stat.S_ISLNK(mode):
                if not os.path.islink(path) or os.readlink(path) != data:
                    problems.append("bsdtar: not restored as a link to %r: %r" % (data, name))
                continue
            try:
                with open(path, "rb") as fh:
                    got = fh.read()
            except OSError as e:
                problems.append("bsdtar: %r: %s" % (name, e))
                continue
            if got != data:
                problems.append("bsdtar: bytes differ: %r" % name)
            if stat.S_IMODE(os.stat(path).st_mode) != stat.S_IMODE(mode):
                problems.append("bsdtar: mode differs: %r" % name)
        if rc != 0 and not problems and all(is_utf8(n) for n in expected):
            problems.append("bsdtar -x: exit %d: %s" % (rc, text.strip()[-400:]))
    return problems


def raw_name(info):
    """The name's bytes as stored: zipfile decodes them as UTF-8 when the
    flag is set and as code page 437 otherwise."""
    return info.orig_filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437")


def ext_mtime(extra):
    """Modification time from the extended-timestamp field, or None."""
    i = 0
    while i + 4 <= len(extra):
        tag, size = struct.unpack_from("<HH", extra, i)
        body = extra[i + 4:i + 4 + size]
        if tag == 0x5455 and size >= 5 and body[0] & 1:
            return struct.unpack_from("<I", body, 1)[0]
        i += 4 + size
    return None


def compare_python(archive, expected):
    """Python's zipfile reads every entry: names, bytes, modes and times are
    exactly the expected ones, nothing missing, nothing extra."""
    problems = []
    seen = set()
    with zipfile.ZipFile(archive) as z:
        for info in z.infolist():
            name = raw_name(info)
            if name in seen:
                problems.append("entry twice: %r" % name)
            seen.add(name)
            if name not in expected:
                problems.append("unexpected entry: %r" % name)
                continue
            is_dir, mode, mtime, data = expected[name]
            if (info.external_attr >> 16) != mode:
                problems.append("mode %o, want %o: %r" % (info.external_attr >> 16, mode, name))
            t = ext_mtime(info.extra)
            if t is not None and mtime is not None:
                if t != mtime:
                    problems.append("time %d, want %d: %r" % (t, mtime, name))
            if is_dir:
                continue
            got = z.read(info)
            if got != data:
                problems.append("bytes differ (%d vs %d): %r" % (len(got), len(data), name))
    for name in expected:
        if name not in seen:
            problems.append("missing: %r" % name)
    return problems


# ---- header lint -------------------------------------------------------------

def _extra_fields(extra):
    fields = {}
    i = 0
    while i + 4 <= len(extra):
        tag, size = struct.unpack_from("<HH", extra, i)
        fields[tag] = extra[i + 4:i + 4 + size]
        i += 4 + size
    return fields


def lint(archive):
    """Checks the headers themselves: no ZIP64 where nothing needs it and
    none missing where something does, no data-descriptor flag, the UTF-8
    flag exactly on valid non-ASCII UTF-8 names, made on Unix, every local
    header agreeing with its central-directory record, entries laid end to
    end up to the central directory, deflated data inflating to the recorded
    CRC and size, empty entries stored. The archive is mapped, not read, so
    any size will do."""
    if os.path.getsize(archive) == 0:
        return ["empty file"]
    with open(archive, "rb") as fh, mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ) as data:
        return _lint(data)


def _lint(data):
    problems = []
    eocd = data.rfind(b"PK\x05\x06", max(0, len(data) - 65557))
    if eocd < 0:
        return ["no end-of-central-directory record"]
    (_, disk, cd_disk, n_here, n_total, cd_size, cd_off, comment_len) = struct.unpack_from("<IHHHHIIH", data, eocd)
    zip64_eocd = eocd >= 20 and data[eocd - 20:eocd - 16] == b"PK\x06\x07"
    end64_unneeded = False
    any_zip64_entry = False
    if zip64_eocd:
        loc_off = struct.unpack_from("<Q", data, eocd - 12)[0]
        if data[loc_off:loc_off + 4] != b"PK\x06\x06":
            return ["ZIP64 locator points nowhere"]
        n_total64, cd_size64, cd_off64 = struct.unpack_from("<QQQ", data, loc_off + 32)
        # Needed by the counts or offsets, or else by an entry that is ZIP64
        # itself (libzip then writes the ZIP64 end records too; every reader
        # accepts that): checked after the entries.
        end64_unneeded = (n_total64 < 0xFFFF and cd_off64 < ZIP64_LIMIT and cd_size64 < ZIP64_LIMIT)
        n_total, cd_size, cd_off = n_total64, cd_size64, cd_off64
    else:
        if cd_off == ZIP64_LIMIT:
            problems.append("ZIP64 marker without a ZIP64 end record")
        elif eocd - cd_size >= ZIP64_LIMIT:
            problems.append("ZIP64 end record missing: central directory at %d" % (eocd - cd_size))
    # Exactly 65,535 entries fit the 16-bit count; readers that take 0xFFFF
    # as "see the ZIP64 record" fall back to it when there is none, so that
    # is accepted either way. More than that needs the ZIP64 end record.
    pos = cd_off
    expect_local = 0
    for k in range(n_total):
        if data[pos:pos + 4] != b"PK\x01\x02":
            problems.append("central record %d missing" % k)
            return problems
        (made_by, need, flags, method, mtime, mdate, crc, csize, usize, nlen, xlen, clen,
         dstart, iattr, eattr, off) = struct.unpack_from("<HHHHHHIIIHHHHHII", data, pos + 4)
        name = data[pos + 46:pos + 46 + nlen]
        extra = _extra_fields(data[pos + 46 + nlen:pos + 46 + nlen + xlen])
        pos += 46 + nlen + xlen + clen
        z64 = extra.get(0x0001)
        real_u, real_c, real_off = usize, csize, off
        if z64 is not None:
            any_zip64_entry = True
            vals = list(struct.unpack_from("<%dQ" % (len(z64) // 8), z64))
            if usize == ZIP64_LIMIT:
                real_u = vals.pop(0)
            if csize == ZIP64_LIMIT:
                real_c = vals.pop(0)
            if off == ZIP64_LIMIT:
                real_off = vals.pop(0)
            if real_u < ZIP64_LIMIT and real_c < ZIP64_LIMIT and real_off < ZIP64_LIMIT:
                problems.append("ZIP64 field where nothing needs it: %r" % name)
        if flags & 0x8:
            problems.append("data-descriptor flag: %r" % name)
        # A name with control characters goes as raw bytes, as Info-ZIP zip
        # stores it (libzip will not flag such a name as UTF-8).
        controls = any(b < 0x20 and b not in (9, 10, 13) for b in name)
        want_utf8 = (not all(b < 0x80 for b in name)) and is_utf8(name) and not controls
        if bool(flags & 0x800) != want_utf8:
            problems.append("UTF-8 flag %s on %r" % ("set" if flags & 0x800 else "missing", name))
        if made_by >> 8 != 3:
            problems.append("not made on Unix (%d): %r" % (made_by >> 8, name))
        # The local header.
        lh = real_off
        if data[lh:lh + 4] != b"PK\x03\x04":
            problems.append("no local header for %r" % name)
            continue
        (lneed, lflags, lmethod, ltime, ldate, lcrc, lcsize, lusize, lnlen, lxlen) = struct.unpack_from("<HHHHHIIIHH", data, lh + 4)
        lname = data[lh + 30:lh + 30 + lnlen]
        lextra = _extra_fields(data[lh + 30 + lnlen:lh + 30 + lnlen + lxlen])
        if lname != name:
            problems.append("local name %r differs from central %r" % (lname, name))
        if (lflags, lmethod, ltime, ldate, lcrc) != (flags, method, mtime, mdate, crc):
            problems.append("local header disagrees (flags/method/time/crc): %r" % name)
        lu, lc = lusize, lcsize
        if 0x0001 in lextra:
            v = struct.unpack_from("<%dQ" % (len(lextra[0x0001]) // 8), lextra[0x0001])
            if lusize == ZIP64_LIMIT and len(v) >= 1:
                lu = v[0]
            if lcsize == ZIP64_LIMIT and len(v) >= 2:
                lc = v[1]
            if real_u < ZIP64_LIMIT and real_c < ZIP64_LIMIT:
                problems.append("local ZIP64 field where nothing needs it: %r" % name)
        if (lu, lc) != (real_u, real_c):
            problems.append("local sizes %d/%d, central %d/%d: %r" % (lu, lc, real_u, real_c, name))
        if lh != expect_local:
            problems.append("entry %r at %d, previous ended at %d" % (name, lh, expect_local))
        expect_local = lh + 30 + lnlen + lxlen + real_c
        if method == 8 and real_c < 1 << 26:
            body = data[lh + 30 + lnlen + lxlen:expect_local]
            try:
                raw = zlib.decompressobj(-15).decompress(body)
                if zlib.crc32(raw) != crc or len(raw) != real_u:
                    problems.append("deflate data does not match crc/size: %r" % name)
            except zlib.error as e:
                problems.append("bad deflate data %r: %s" % (name, e))
        if real_u == 0 and method != 0:
            problems.append("empty entry not stored: %r" % name)
    if data[pos:pos + 4] == b"PK\x01\x02":
        problems.append("more central records than the %d counted%s"
                        % (n_total, "" if zip64_eocd else ": ZIP64 end record missing"))
    if expect_local != cd_off:
        problems.append("central directory at %d, entries end at %d" % (cd_off, expect_local))
    if end64_unneeded and not any_zip64_entry:
        problems.append("ZIP64 end record with %d entries, directory at %d: not needed" % (n_total, cd_off))
    return problems


def full_check(archive, expected, extract=True):
    """Every reader and the lint; a list of problems, empty when sound."""
    problems = readers_accept(archive)
    problems += lint(archive)
    problems += compare_python(archive, expected)
    if extract:
        problems += bsdtar_extract(archive, expected)
    return problems


def temporaries(folder):
    """Files in `folder` that are neither archives under their final name nor
    anything the caller put there: the engine's temporary files start with
    '.'."""
    return sorted(n for n in os.listdir(folder) if n.startswith("."))


def archive_cli():
    cli = os.environ.get("QB_ARCHIVE_CLI")
    if not cli or not os.access(cli, os.X_OK):
        raise SystemExit("QB_ARCHIVE_CLI must name the qb_archive_cli program")
    return cli


def report(archive):
    """What the engine's tests read: every entry as Python's zipfile sees it,
    and the problems found (CRC errors, then the header lint)."""
    problems = []
    entries = []
    with zipfile.ZipFile(archive) as z:
        bad = z.testzip()
        if bad is not None:
            problems.append("CRC error in %r" % bad)
        for info in z.infolist():
            digest = None
            if not info.is_dir():
                h = hashlib.sha256()
                try:
                    with z.open(info) as f:
                        for block in iter(lambda: f.read(1 << 20), b""):
                            h.update(block)
                    digest = h.hexdigest()
                except (zipfile.BadZipFile, zlib.error, EOFError) as e:
                    problems.append("%r not read: %s" % (raw_name(info), e))
            entries.append({"name": raw_name(info).hex(), "sha256": digest, "mode": info.external_attr >> 16,
                            "mtime": ext_mtime(info.extra), "method": info.compress_type,
                            "flags": info.flag_bits, "size": info.file_size})
    problems += lint(archive)
    return {"entries": entries, "problems": problems}


if __name__ == "__main__":
    print(json.dumps(report(sys.argv[1])))
