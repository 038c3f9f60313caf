"""Seed inputs for the fuzzers, cut from real files.

usage: make_seeds.py OUT SOURCE_DIR...

Seeds for target T go to OUT/T.

The parser gets whole small files, balanced forms of many sizes and a few raw slices, each
behind the byte that picks the syntax of the file's folder (or extension); the form reader
gets whole small files and slices behind that byte and a chunk-size byte; the edit target gets
small forms behind its length byte, followed by fixed pseudo-random edits; the layout target
gets whole small files and forms that stand on lines of their own, with the comment lines above
them, behind the syntax byte and a two-byte length, then a small form of the same file for its
second tree, then pseudo-random edits.
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


# The first byte of a parse or iterparse seed picks the syntax: plain, kicad, smtlib, wasm,
# lisp (0 to 4).
SYNTAX = {"kicad": 1, "edif": 1, "smtlib": 2, "wasm": 3, "lisp": 4}
EXTENSION = {".kicad_mod": 1, ".kicad_pcb": 1, ".kicad_sym": 1, ".kicad_sch": 1, ".smt2": 2,
             ".wast": 3, ".wat": 3}


LAYOUT_MAX = 4095  # the layout target's longest text


def on_lines(data, found):
    """The forms that stand on lines of their own, each with up to three comment or blank lines
    above it and the rest of its last line."""
    out = []
    for a, b in found:
        start = data.rfind(b"\n", 0, a) + 1
        if data[start:a].strip(b" \t"):
            continue
        end = data.find(b"\n", b)
        end = len(data) if end < 0 else end + 1
        if b"(" in data[b:end] or b")" in data[b:end]:
            continue
        for _ in range(3):
            above = data.rfind(b"\n", 0, max(start - 1, 0)) + 1
            line = data[above:start].strip()
            if start == 0 or (line and not line.startswith((b";", b"#", b"(;"))):
                break
            start = above
        out.append(data[start:end])
    return out


def syntax_of(path):
    folder = os.path.basename(os.path.dirname(path))
    return SYNTAX.get(folder, EXTENSION.get(os.path.splitext(path)[1], 0))


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
    parse_out, edit_out, forms_out, layout_out = (os.path.join(sys.argv[1], t)
                                                  for t in ("parse", "edit", "iterparse", "layout"))
    for d in (parse_out, edit_out, forms_out, layout_out):
        os.makedirs(d, exist_ok=True)
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
        syntax = bytes([syntax_of(path)])
        for k, s in enumerate(seeds):
            with open(os.path.join(parse_out, "%s-%02d" % (name, k)), "wb") as f:
                f.write(syntax + s)
            count += 1
        for k, s in enumerate([data] if len(data) <= 4096 else seeds[-3:]):
            with open(os.path.join(forms_out, "%s-%02d" % (name, k)), "wb") as f:
                f.write(syntax + bytes([rng.randrange(256)]) + s[:4096])
        small = spread([data[a:b] for a, b in found if 8 <= b - a < 256], 6)
        for k, s in enumerate(small):
            edits = bytes(rng.randrange(256) for _ in range(200))
            with open(os.path.join(edit_out, "%s-%02d" % (name, k)), "wb") as f:
                f.write(bytes([len(s)]) + s + edits)
        lined = on_lines(data, found)
        texts = [data] if len(data) <= LAYOUT_MAX else []
        for lo, hi in ((8, 128), (128, 1024), (1024, LAYOUT_MAX)):
            texts += spread([t for t in lined if lo <= len(t) < hi], 3)
        others = [t for t in lined if len(t) < 200] or [b""]
        for k, text in enumerate(texts):
            other = rng.choice(others)
            head = bytes([syntax[0], len(text) & 255, len(text) >> 8])
            # the form picked, the chunk size, the second tree's syntax (the same) and text
            tail = bytes([rng.randrange(256), rng.randrange(80), 1, len(other)]) + other
            edits = bytes(rng.randrange(256) for _ in range(300))
            with open(os.path.join(layout_out, "%s-%02d" % (name, k)), "wb") as f:
                f.write(head + text + tail + edits)
    for k in range(8):  # the fixed starting trees
        edits = bytes(rng.randrange(256) for _ in range(300))
        with open(os.path.join(edit_out, "start-%d" % k), "wb") as f:
            f.write(bytes([k]) + edits)
    print("%d parse seeds" % count)


main()
