"""List the pads of a KiCad footprint or board, and optionally renumber one.

    python examples/pads.py [INPUT [OUTPUT]] [--rename OLD NEW]

Prints one line per pad: number, type, shape, position and size, and on a board its net.
`--rename 1 A1` gives pad 1 the number A1 (every pad of that number, on a board where
several footprints have one), quoted where the file quotes it or where it must be. INPUT
defaults to the LQFP-144 footprint in data/. The file is read as KiCad writes it, with its
layout; with OUTPUT the renamed file is written there (in place when it is INPUT), changed in
the renamed pads' lines alone.
"""

import argparse
import pathlib
import sys

import _sexp

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
DEFAULT = DATA / "LQFP-144_20x20mm_P0.5mm.kicad_mod"


def unquote(text):
    # Newer files quote pad numbers and net names; an atom keeps its quotes as they are.
    return _sexp.unquote(text, syntax="kicad")


def child(node, key):
    """The child list headed by the atom `key`, or None."""
    try:
        return node[key]
    except KeyError:
        return None


def pads(root):
    """Every list headed by the atom pad, in document order, through the whole tree."""
    stack = [root]
    while stack:
        node = stack.pop()
        if node.is_atom or len(node) == 0:
            continue
        if node.head.is_atom and node.head.value == "pad" and len(node) >= 4:
            yield node
        else:
            stack.extend(reversed(node[:]))


def describe(pad):
    fields = [unquote(pad[i].value) if pad[i].is_atom else "?" for i in (1, 2, 3)]
    for key in ("at", "size"):
        found = child(pad, key)
        fields.append(" ".join(c.value for c in found.tail if c.is_atom) if found else "-")
    net = child(pad, "net")
    if net is not None and len(net) > 2:
        fields.append(unquote(net[2].value))
    return fields


def rename(root, old, new):
    """Renumber every pad numbered `old`, quoted as the file quotes it or where it must be.
    Returns how many."""
    count = 0
    for pad in pads(root):
        number = pad[1]
        if number.is_atom and unquote(number.value) == old:
            if number.value != unquote(number.value):
                number.value = _sexp.quote(new, syntax="kicad")
            else:
                try:
                    number.value = new  # refused where it would not read back as it is
                except ValueError:
                    number.value = _sexp.quote(new, syntax="kicad")
            count += 1
    return count


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("input", nargs="?", type=pathlib.Path, default=DEFAULT)
    ap.add_argument("output", nargs="?", type=pathlib.Path)
    ap.add_argument("--rename", nargs=2, metavar=("OLD", "NEW"))
    args = ap.parse_args(argv)

    try:
        root = _sexp.load(args.input, syntax="kicad", keep_layout=True)
    except _sexp.ParseError as e:
        sys.exit(f"{args.input}: {e}")
    if args.rename:
        old, new = args.rename
        if not new or new != new.strip():
            sys.exit(f"a pad number cannot be empty or start or end with whitespace: {new!r}")
        if rename(root, old, new) == 0:
            sys.exit(f"{args.input}: no pad {old}")
    rows = [describe(pad) for pad in pads(root)]
    columns = max(map(len, rows), default=0)
    widths = [max(len(r[i]) for r in rows if i < len(r)) for i in range(columns)]
    for r in rows:
        print("  ".join(f.ljust(w) for f, w in zip(r, widths)).rstrip())
    print(f"{len(rows)} pads", file=sys.stderr)
    if args.output is not None:
        _sexp.dump(root, args.output)


if __name__ == "__main__":
    main()
