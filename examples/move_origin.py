"""Move a KiCad footprint's origin: shift every coordinate pair by the same offset.

    python examples/move_origin.py [INPUT [OUTPUT]] (--dx MM --dy MM | --to-pad NUMBER)

Every `(at x y [angle])`, `(start x y)`, `(end x y)`, `(center x y)`, `(mid x y)` and
`(xy x y)` is moved; angles, sizes and drill offsets are relative and stay as they are, and
so do 3D model offsets (`(at (xyz ...))`). `--to-pad 1` puts the origin on pad 1. INPUT
defaults to the 0603 resistor in data/. The file is read as KiCad writes it, with its layout,
and written to OUTPUT (in place when it is INPUT), or stdout: only the moved numbers change.
Arithmetic is decimal, so 0.825 - 0.825 is 0, not a float remainder.
"""

import argparse
import decimal
import pathlib
import sys

import _sexp

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
DEFAULT = DATA / "R_0603_1608Metric.kicad_mod"
COORDINATES = {"at", "start", "end", "center", "mid", "xy"}


def number(text):
    try:
        return decimal.Decimal(text)
    except decimal.InvalidOperation:
        raise ValueError(f"not a number: {text!r}") from None


def show(value):
    text = format(value.normalize(), "f")
    return "0" if text == "-0" else text


def is_pair(node):
    head = node.head
    if not head.is_atom or head.value not in COORDINATES or len(node) < 3:
        return False
    return node[1].is_atom and node[2].is_atom


def coordinate_pairs(root):
    """Every list of the tree that holds a coordinate pair: (key x y ...) with atoms x, y."""
    stack = [root]
    while stack:
        node = stack.pop()
        if node.is_atom or len(node) == 0:
            continue
        if is_pair(node):
            yield node
        else:
            stack.extend(node)


def pad_position(root, wanted):
    for pad in root:
        if not pad.is_atom and len(pad) > 1 and pad.head.is_atom and pad.head.value == "pad":
            if pad[1].is_atom and _sexp.unquote(pad[1].value, syntax="kicad") == wanted:
                at = pad["at"]
                return number(at[1].value), number(at[2].value)
    raise LookupError(f"no pad {wanted}")


def move(root, dx, dy):
    """Shift every coordinate pair of the tree by (dx, dy); returns how many moved."""
    moved = 0
    for pair in coordinate_pairs(root):
        x, y = pair[1], pair[2]
        x.value = show(number(x.value) + dx)
        y.value = show(number(y.value) + dy)
        moved += 1
    return moved


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("input", nargs="?", type=pathlib.Path, default=DEFAULT)
    ap.add_argument("output", nargs="?", type=pathlib.Path)
    ap.add_argument("--dx", type=number, default=decimal.Decimal(0))
    ap.add_argument("--dy", type=number, default=decimal.Decimal(0))
    ap.add_argument("--to-pad", metavar="NUMBER")
    args = ap.parse_args(argv)

    try:
        root = _sexp.load(args.input, syntax="kicad", keep_layout=True)
        if args.to_pad is not None:
            x, y = pad_position(root, args.to_pad)
            args.dx, args.dy = -x, -y
        moved = move(root, args.dx, args.dy)
    except (_sexp.ParseError, LookupError, ValueError) as e:
        sys.exit(f"{args.input}: {e}")
    _sexp.dump(root, sys.stdout if args.output is None else args.output)
    print(f"moved {moved} coordinate pairs by ({show(args.dx)}, {show(args.dy)})", file=sys.stderr)


if __name__ == "__main__":
    main()
