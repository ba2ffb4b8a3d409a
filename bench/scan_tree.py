#!/usr/bin/env python3
"""Fills a directory with a tree of many files of mixed sizes, some of them
fragmented, for the scan benchmark.  Usage: scan_tree.py DIR NFILES"""
import os
import random
import sys

top, total = sys.argv[1], int(sys.argv[2])
rnd = random.Random(42)
per_dir = 500
chunk = b"q" * 65536
frag_every = 200  # one file in 200 is grown in turns with another, with fsync

made = 0
d = 0
pending = []
while made < total:
    sub = os.path.join(top, "d%03d" % (d // 20), "s%05d" % d)
    os.makedirs(sub, exist_ok=True)
    for i in range(min(per_dir, total - made)):
        p = os.path.join(sub, "f%06d" % made)
        made += 1
        if made % frag_every == 0:
            pending.append(p)
            continue
        r = rnd.random()
        size = (rnd.randint(100, 2000) if r < 0.7 else
                rnd.randint(2048, 8192) if r < 0.995 else
                rnd.randint(65536, 256 * 1024))
        with open(p, "wb") as f:
            while size > 0:
                n = min(size, len(chunk))
                f.write(chunk[:n])
                size -= n
    d += 1

# fragmented files: pairs grown in turns, each piece made durable at once
for a, b in zip(pending[0::2], pending[1::2]):
    fa, fb = open(a, "wb"), open(b, "wb")
    for _ in range(8):
        for f in (fa, fb):
            f.write(chunk[:4096])
            f.flush()
            os.fsync(f.fileno())
    fa.close()
    fb.close()
