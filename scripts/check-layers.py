#!/usr/bin/env python3
"""Checks that no engine file includes a header of a layer above its own.

The layers, from the bottom (a file may include its own layer and those
below it):

  0  platform/, common/                       the operating system, CRC-32, texts
  1  archive/records.*, crypt/crypt.h,        the ZIP format and the cipher alone
     crypt/cipher.cpp
  2  api/                                      engine state, settings, masks, paths, names
  3  deflate/, crypt/, extract/ (codecs and    codecs and the streams they work through
     streams)
  4  archive/                                  open, close, entry lists, the rewrite
  5  extract/extract.*, update/                operations
  6  sfx/                                      self-extractor creation (builds on update)
  7  exports/                                  the exported C functions

The command line (cli/) is a host: it includes the public headers only.
Prints every arrow that points up and exits 1 when there is one.
"""
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

# First match wins: (pattern on the path below src/, layer).
LAYERS = [
    (r"platform/", 0),
    (r"common/", 0),
    (r"archive/records\.(h|cpp)$", 1),
    (r"crypt/(crypt\.h|cipher\.cpp)$", 1),
    (r"api/", 2),
    (r"deflate/", 3),
    (r"crypt/", 3),
    (r"extract/(decode|inflate|explode|unshrink|unreduce|huffman|streams|legacy|bit_reader|window)\.(h|cpp)$", 3),
    (r"archive/", 4),
    (r"extract/extract\.(h|cpp)$", 5),
    (r"update/", 5),
    (r"sfx/", 6),
    (r"exports/", 7),
]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(rel):
    for pattern, layer in LAYERS:
        if re.match(pattern, rel):
            return layer
    return None


def main():
    src = ROOT / "src"
    problems = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        rel = path.relative_to(src).as_posix()
        own = layer_of(rel)
        if own is None:
            problems.append(f"{rel}: in no layer (add it to {pathlib.Path(__file__).name})")
            continue
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if not (src / target).exists():
                continue  # a public header (vardex32.h) or a file beside it
            theirs = layer_of(target)
            if theirs is not None and theirs > own:
                problems.append(f"src/{rel} (layer {own}) includes {target} (layer {theirs})")
    for path in sorted((ROOT / "cli").glob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if not (ROOT / "cli" / target).exists() and not (ROOT / "include" / target).exists():
                problems.append(f"cli/{path.name} includes {target}: the command line uses the public headers only")
    for line in problems:
        print(line)
    if problems:
        print(f"{len(problems)} include(s) against the layers", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
