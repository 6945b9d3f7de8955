#!/usr/bin/env python3
"""Builds the benchmark corpus from system files, the same on every run of
the same system: DIR/corpus/headers (about 24 MB of C headers from
/usr/include), DIR/corpus/elf (about 24 MB of ELF binaries from /usr/lib and
/usr/bin), DIR/corpus/random.bin (8 MB from a fixed seed), and DIR/small
(20,000 small text files).  File times are pinned.  Usage: make_corpus.py DIR"""
import os
import random
import shutil
import sys

TARGET = 24_000_000
PINNED = 1_500_000_000  # 2017-07-14


def pick(roots, accept):
    chosen, total = [], 0
    for root in roots:
        for base, dirs, files in sorted(os.walk(root)):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(base, name)
                if os.path.islink(path) or not os.path.isfile(path):
                    continue
                size = os.path.getsize(path)
                if size == 0 or size > 4_000_000 or not accept(path):
                    continue
                chosen.append(path)
                total += size
                if total >= TARGET:
                    return chosen
    return chosen


def is_elf(path):
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False


def copy_into(paths, strip, dest):
    for path in paths:
        out = os.path.join(dest, os.path.relpath(path, strip))
        os.makedirs(os.path.dirname(out), exist_ok=True)
        shutil.copyfile(path, out)


def pin(tree):
    for base, _, files in os.walk(tree):
        for name in files:
            os.utime(os.path.join(base, name), (PINNED, PINNED))


def main():
    top = sys.argv[1]
    corpus = os.path.join(top, "corpus")
    if os.path.isdir(corpus):
        return
    headers = pick(["/usr/include"], lambda p: p.endswith(".h"))
    copy_into(headers, "/usr/include", os.path.join(corpus, "headers"))
    elves = pick(["/usr/lib", "/usr/bin"], is_elf)
    copy_into(elves, "/", os.path.join(corpus, "elf"))
    rng = random.Random(14)
    with open(os.path.join(corpus, "random.bin"), "wb") as f:
        f.write(rng.randbytes(8_000_000))
    small = os.path.join(top, "small")
    for i in range(20000):
        d = os.path.join(small, "d%03d" % (i // 200))
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "f%05d.txt" % i), "w") as f:
            f.write(("file %d: " % i) + "the quick brown fox jumps over the lazy dog\n" * (1 + i % 7))
    pin(corpus)
    pin(small)


main()
