#!/usr/bin/env python3
"""Writes small seed corpora for the fuzz targets into OUTDIR/<target>/.

Seeds are cut from the legacy fixture archives (made by an independent
encoder) and generated with zlib and zipfile; nothing here is committed.
usage: make-seeds.py FIXTURES_DIR OUTDIR
"""
import hashlib
import io
import os
import struct
import sys
import zipfile
import zlib


def entries(path):
    """(info, compressed bytes) for every entry of an archive."""
    with open(path, 'rb') as f:
        raw = f.read()
    with zipfile.ZipFile(path) as z:
        for info in z.infolist():
            at = info.header_offset
            name_len, extra_len = struct.unpack_from('<HH', raw, at + 26)
            start = at + 30 + name_len + extra_len
            yield info, raw[start:start + info.compress_size]


def save(outdir, target, data):
    d = os.path.join(outdir, target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, hashlib.sha1(data).hexdigest()[:16]), 'wb') as f:
        f.write(data)


def sizes_header(first, usize):
    return bytes([first]) + struct.pack('<H', min(usize // 4 + 1, 0xFFFF))


def zip_with(entries_):
    """An archive of (name, method, flags, crc, data, usize) entries, written by hand
    so that any method can be wrapped."""
    out = io.BytesIO()
    central = io.BytesIO()
    for name, method, flags, crc, data, usize in entries_:
        offset = out.tell()
        n = name.encode()
        out.write(struct.pack('<IHHHHHIIIHH', 0x04034b50, 10, flags, method, 0, 0x21, crc, len(data), usize,
                              len(n), 0) + n + data)
        central.write(struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 10, 10, flags, method, 0, 0x21, crc,
                                  len(data), usize, len(n), 0, 0, 0, 0, 0x20, offset) + n)
    c = central.getvalue()
    out.write(c)
    out.write(struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, len(entries_), len(entries_), len(c),
                          out.tell() - len(c), 0))
    return out.getvalue()


def main():
    fixtures, outdir = sys.argv[1], sys.argv[2]
    legacy = os.path.join(fixtures, 'legacy')
    texts = [b'', b'a', b'abababababababab', b'The quick brown fox jumps over the lazy dog. ' * 20,
             bytes(range(256)) * 3, bytes(300)]

    for name in sorted(os.listdir(legacy)) if os.path.isdir(legacy) else []:
        if not name.endswith('.zip'):
            continue
        path = os.path.join(legacy, name)
        small = []
        for info, data in entries(path):
            m = info.compress_type
            for cut in (64, 400, 2000):
                part = data[:cut]
                if m == 1:
                    save(outdir, 'unshrink_fuzz', part)
                elif 2 <= m <= 5:
                    save(outdir, 'unreduce_fuzz', sizes_header(m - 2, info.file_size) + part)
                elif m == 6:
                    save(outdir, 'explode_fuzz', sizes_header(info.flag_bits & 6, info.file_size) + part)
            if m != 0:
                part = data[:600]
                small.append((info.filename, m, info.flag_bits, info.CRC, part, min(info.file_size, 4 * len(part))))
        save(outdir, 'archive_fuzz', zip_with(small))
        save(outdir, 'archive_fuzz', zip_with([('dir/' + n, m, f, c, d, u) for n, m, f, c, d, u in small[:1]]))

    for t in texts:
        for level, strategy in ((0, zlib.Z_DEFAULT_STRATEGY), (6, zlib.Z_FIXED), (9, zlib.Z_DEFAULT_STRATEGY)):
            c = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy)
            save(outdir, 'inflate_fuzz', c.compress(t) + c.flush())

    for method in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, 'w', method) as z:
            z.writestr('a.txt', texts[3])
            z.writestr('sub/b.bin', texts[4])
            z.writestr('sub/', b'')
            z.comment = b'seed'
        save(outdir, 'archive_fuzz', buf.getvalue())

    # Names that try to leave the output directory; odd lengths use paths.
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, 'w') as z:
        for name in ('../up.txt', 'a/../../up2.txt', '/abs.txt', 'C:/drive.txt', '\\\\srv\\share\\unc.txt'):
            z.writestr(name, b'x')
    data = buf.getvalue()
    save(outdir, 'archive_fuzz', data + (b'' if len(data) % 2 else b'\0'))


if __name__ == '__main__':
    main()
