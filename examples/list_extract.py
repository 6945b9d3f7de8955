#!/usr/bin/env python3
"""list_extract.py: a host of the Vardex engine in Python, through ctypes.

    list_extract.py ARCHIVE [OUTDIR] [--library PATH]

Lists the entries of ARCHIVE and, given OUTDIR (which must exist), extracts
them all below it with their directories.  The library is looked for as
libvardex32.so.1 on the usual search path unless --library names it.
"""
import ctypes
import sys


class FileMaskList(ctypes.Structure):
    _fields_ = [("first", ctypes.c_void_p), ("last", ctypes.c_void_p)]


class ZipFileEntry(ctypes.Structure):
    _pack_ = 1


ZipFileEntry._fields_ = [
    ("next", ctypes.POINTER(ZipFileEntry)),
    ("versionMadeBy", ctypes.c_uint16), ("versionNeeded", ctypes.c_uint16),
    ("flags", ctypes.c_uint16), ("method", ctypes.c_uint16),
    ("time", ctypes.c_uint16), ("date", ctypes.c_uint16),
    ("crc32", ctypes.c_uint32), ("compressedSize", ctypes.c_uint32),
    ("uncompressedSize", ctypes.c_uint32),
    ("nameLength", ctypes.c_uint16), ("extraLength", ctypes.c_uint16),
    ("commentLength", ctypes.c_uint16), ("diskNumberStart", ctypes.c_uint16),
    ("internalAttributes", ctypes.c_uint16), ("externalAttributes", ctypes.c_uint32),
    ("localHeaderOffset", ctypes.c_uint32),
    ("name", ctypes.c_char * 256),
    ("comment", ctypes.c_void_p), ("extra", ctypes.c_void_p),
    ("selected", ctypes.c_uint8),
]


class ZipFileList(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("first", ctypes.POINTER(ZipFileEntry)), ("last", ctypes.POINTER(ZipFileEntry)),
                ("count", ctypes.c_uint16)]


ARUSEPATHS = 0x0001


def main(argv):
    library = "libvardex32.so.1"
    if "--library" in argv:
        i = argv.index("--library")
        library = argv[i + 1]
        del argv[i:i + 2]
    if len(argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    vx = ctypes.CDLL(library)
    vx.GetArchiveStatus.restype = ctypes.c_uint16
    vx.VxStatusText.restype = ctypes.c_char_p
    vx.VxStatusText.argtypes = [ctypes.c_uint16]
    vx.VxVersion.restype = ctypes.c_char_p

    def fail(what):
        status = vx.GetArchiveStatus()
        print(f"{what}: {vx.VxStatusText(status).decode()} (status {status})", file=sys.stderr)
        return 1

    print("Vardex", vx.VxVersion().decode())
    vx.InitZipFile(argv[1].encode())
    if vx.GetArchiveStatus() != 0:
        return fail(argv[1])

    entries = ZipFileList()
    vx.InitZipFileList(ctypes.byref(entries))
    vx.BuildZipFileList(ctypes.byref(entries), None)
    node = entries.first
    while node:
        e = node.contents
        print(f"{e.uncompressedSize:10}  {e.name.decode()}")
        node = e.next
    print(f"{entries.count} entries")
    vx.DoneZipFileList(ctypes.byref(entries))

    rc = 0
    if len(argv) == 3:
        # Settings come after InitZipFile, which resets them.
        vx.SetOutputPath(argv[2].encode())
        vx.arOptionsOn(ctypes.c_uint16(ARUSEPATHS))
        masks = FileMaskList()
        vx.InitFileMaskList(ctypes.byref(masks))
        vx.ExtractFileMaskListZip(ctypes.byref(masks))
        vx.DoneFileMaskList(ctypes.byref(masks))
        if vx.GetArchiveStatus() != 0:
            rc = fail("extract")
        else:
            print("extracted to", argv[2])
    vx.DoneZipFile()
    return rc


if __name__ == "__main__":
    sys.exit(main(sys.argv))
