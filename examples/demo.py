"""Tour of _sexp on a real footprint file: parse, navigate, edit, copy, compare, print."""

import difflib
import pathlib
import sys

import _sexp

DEFAULT = pathlib.Path(__file__).resolve().parent.parent / "data" / "LQFP-144_20x20mm_P0.5mm.kicad_mod"


def count_nodes(node):
    """Nodes in the subtree, walked with an explicit stack."""
    total, stack = 0, [node]
    while stack:
        n = stack.pop()
        total += 1
        stack.extend(n)
    return total


def main(path):
    text = pathlib.Path(path).read_text(encoding="utf-8")
    # As KiCad writes it: quoted strings are atoms; and with its layout, to write it back.
    root = _sexp.parse(text, syntax="kicad", keep_layout=True)
    print(f"parsed {path.name}: {len(text)} bytes, {count_nodes(root)} nodes")
    print(f"written back unchanged: {_sexp.dumps(root) == text}")
    print(f"form: ({root.head.value} {root[1].value} ...) with {len(root)} children")

    pads = [child for child in root if not child.is_atom and child.head.value == "pad"]
    print(f"{len(pads)} pads; the first: {pads[0]!r}")

    # Every pad's position, through string keys: pad["at"] is the child list headed by "at".
    xs = [float(pad["at"][1].value) for pad in pads]
    print(f"pad x positions span {min(xs)} .. {max(xs)} mm")

    # Edit in place: rename the footprint and move pad 1 by 0.1 mm; only those lines change.
    root[1].value = root[1].value + "_edited"
    at = pads[0]["at"]
    at[1].value = f"{float(at[1].value) + 0.1:g}"
    print(f"renamed to {root[1].value}; pad 1 now {pads[0]['at']!r}")
    changed = difflib.unified_diff(text.splitlines(), _sexp.dumps(root).splitlines(), n=0,
                                   lineterm="")
    print("\n".join(line[:100] for line in list(changed)[2:]))

    # Copy a pad into a new tree, compare, then take the pad out of the footprint.
    copy = pads[0].clone()
    print(f"clone equals the pad: {copy == pads[0]}")
    extracted = pads[-1].extract()
    print(f"extracted the last pad: {extracted!r}")
    print(f"{len(root)} children left; old handles are stale now:", end=" ")
    try:
        pads[0].value
    except RuntimeError as e:
        print(f"RuntimeError({e})")

    # Build a new list through the API and attach it.
    note = root.new_list()
    for word in ("property", "demo", "yes"):
        note.append(root.new_atom(word))
    root.append(note)
    print(f"appended {root[-1]!r}")

    again = _sexp.parse(_sexp.dumps(root), syntax="kicad")
    print(f"written text parses back to an equal tree: {again == root}")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT)
