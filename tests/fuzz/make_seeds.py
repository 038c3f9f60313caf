"""Seed inputs for the fuzzers, cut from real files.

usage: make_seeds.py OUT SOURCE_DIR...

Seeds for target T go to OUT/T.

The parser gets whole small files, balanced forms of many sizes and a few raw slices; the
edit target gets small forms behind its length byte, followed by fixed pseudo-random edits.
"""
import os
import random
import sys

MAX_LEN = 65536
SCAN = 1 << 20  # only the start of a big file is searched for forms


def forms(data):
    """(start, end) of every balanced parenthesised form in data[:SCAN]."""
    out, open_at = [], []
    for i, b in enumerate(data[:SCAN]):
        if b == 0x28:
            open_at.append(i)
        elif b == 0x29 and open_at:
            out.append((open_at.pop(), i + 1))
    return out


def spread(items, n):
    if len(items) <= n:
        return items
    step = len(items) / n
    return [items[int(k * step)] for k in range(n)]


def sources(folders):
    """Every file under the folders but licences and notes, in a stable order."""
    for top in folders:
        for root, dirs, files in os.walk(top):
            dirs[:] = sorted(d for d in dirs if d != "LICENSES")
            for name in sorted(files):
                if not name.endswith((".md", ".txt")):
                    yield os.path.join(root, name)


def main():
    parse_out, edit_out = (os.path.join(sys.argv[1], t) for t in ("parse", "edit"))
    os.makedirs(parse_out, exist_ok=True)
    os.makedirs(edit_out, exist_ok=True)
    rng = random.Random(20240601)
    count = 0
    for path in sources(sys.argv[2:]):
        name = os.path.basename(path)
        with open(path, "rb") as f:
            data = f.read()
        seeds = []
        if len(data) <= MAX_LEN:
            seeds.append(data)
        found = forms(data)
        for lo, hi in ((2, 64), (64, 1024), (1024, 16384), (16384, MAX_LEN)):
            sized = [data[a:b] for a, b in found if lo <= b - a < hi]
            seeds += spread(sized, 6)
        for k in range(3):
            at = rng.randrange(max(1, len(data) - 4096))
            seeds.append(data[at:at + 4096])
        for k, s in enumerate(seeds):
            with open(os.path.join(parse_out, "%s-%02d" % (name, k)), "wb") as f:
                f.write(s)
            count += 1
        small = spread([data[a:b] for a, b in found if 8 <= b - a < 256], 6)
        for k, s in enumerate(small):
            edits = bytes(rng.randrange(256) for _ in range(200))
            with open(os.path.join(edit_out, "%s-%02d" % (name, k)), "wb") as f:
                f.write(bytes([len(s)]) + s + edits)
    for k in range(8):  # the fixed starting trees
        edits = bytes(rng.randrange(256) for _ in range(300))
        with open(os.path.join(edit_out, "start-%d" % k), "wb") as f:
            f.write(bytes([k]) + edits)
    print("%d parse seeds" % count)


main()
