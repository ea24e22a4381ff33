#!/usr/bin/env python3
"""Reads a zip archive with Python's zipfile and checks its headers.

Prints one JSON object: "entries" (name as hex of its raw bytes, sha256 of
the data, Unix mode, extended-timestamp mtime or null, method, flags) and
"problems", a list of header faults found:
  - a data-descriptor flag;
  - the UTF-8 flag where the name is not valid non-ASCII UTF-8, or missing
    where it is;
  - ZIP64 fields or end records where no size, offset or count needs them;
  - a local header that disagrees with the central directory.
"""
import hashlib
import json
import mmap
import struct
import sys
import zipfile

LIBZIP_DEFLATE_BOUND = 4293656963  # libzip marks larger entries ZIP64 up front


def extra_fields(blob):
    fields = {}
    i = 0
    while i + 4 <= len(blob):
        tag, size = struct.unpack_from('<HH', blob, i)
        fields[tag] = blob[i + 4:i + 4 + size]
        i += 4 + size
    return fields


def utf8_flag_expected(raw):
    try:
        raw.decode('utf-8')
    except UnicodeDecodeError:
        return False
    return any(b >= 0x80 for b in raw)


def main(path):
    problems = []
    entries = []
    any_zip64_entry = False
    handle = open(path, 'rb')
    data = mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ)
    with zipfile.ZipFile(path) as z:
        bad = z.testzip()
        if bad is not None:
            problems.append('CRC error in %r' % bad)
        for info in z.infolist():
            raw = info.orig_filename.encode('utf-8' if info.flag_bits & 0x800 else 'cp437')
            cen_extra = extra_fields(info.extra)
            # Local header, straight from the bytes.
            off = info.header_offset
            sig, ver, flags, method, mtime, mdate, crc, csize, usize, nlen, xlen = \
                struct.unpack_from('<IHHHHHIIIHH', data, off)
            if sig != 0x04034b50:
                problems.append('%s: no local header' % raw.hex())
                continue
            lname = data[off + 30:off + 30 + nlen]
            lextra = extra_fields(data[off + 30 + nlen:off + 30 + nlen + xlen])
            if 1 in lextra:
                usize, csize = struct.unpack_from('<QQ', lextra[1], 0)
                if max(info.file_size, info.compress_size) <= LIBZIP_DEFLATE_BOUND:
                    problems.append('%s: ZIP64 local header without need' % raw.hex())
            if 1 in cen_extra:
                any_zip64_entry = True
            if 1 in cen_extra and max(info.file_size, info.compress_size, info.header_offset) < 0xFFFFFFFF:
                problems.append('%s: ZIP64 central field without need' % raw.hex())
            if lname != raw:
                problems.append('%s: local name differs' % raw.hex())
            if (flags, method, crc, csize, usize) != (info.flag_bits, info.compress_type, info.CRC,
                                                      info.compress_size, info.file_size):
                problems.append('%s: local header differs from central directory' % raw.hex())
            if info.flag_bits & 0x8:
                problems.append('%s: data descriptor flag' % raw.hex())
            if bool(info.flag_bits & 0x800) != utf8_flag_expected(raw):
                problems.append('%s: UTF-8 flag wrong' % raw.hex())
            ut = None
            if 0x5455 in cen_extra and len(cen_extra[0x5455]) >= 5 and cen_extra[0x5455][0] & 1:
                ut = struct.unpack_from('<I', cen_extra[0x5455], 1)[0]
            digest = None
            if not info.is_dir():
                h = hashlib.sha256()
                with z.open(info) as f:
                    for block in iter(lambda: f.read(1 << 20), b''):
                        h.update(block)
                digest = h.hexdigest()
            entries.append({'name': raw.hex(), 'sha256': digest, 'mode': info.external_attr >> 16,
                            'mtime': ut, 'method': info.compress_type, 'flags': info.flag_bits,
                            'size': info.file_size})
        count = len(z.infolist())
    # End records: ZIP64 ones only when the count or an offset needs them.
    eocd = data.rfind(struct.pack('<I', 0x06054b50))
    has64 = eocd >= 20 and data[eocd - 20:eocd - 16] == struct.pack('<I', 0x07064b50)
    # libzip also writes the ZIP64 end records when an entry is ZIP64.
    needs64 = count >= 0xFFFF or len(data) >= 0xFFFFFFFF
    if has64 and not needs64 and not any_zip64_entry:
        problems.append('ZIP64 end record without need')
    if needs64 and not has64:
        problems.append('ZIP64 end record missing')
    print(json.dumps({'entries': entries, 'problems': problems}))


if __name__ == '__main__':
    main(sys.argv[1])
