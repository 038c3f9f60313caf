"""Pretty-print an S-expression file: a list that fits the width stays on one line, a longer
one is broken with each child on its own, more deeply indented line.

    python examples/pretty.py [INPUT [OUTPUT]] [--width N] [--indent N] [--syntax S]

INPUT defaults to the SMT-LIB sample in data/; without OUTPUT the text goes to stdout. The
file is read in the syntax its name says (--syntax overrides it), so quoted strings stay whole
atoms, and every form of a script is printed. The layout is made anew, which is what this tool
is for: comments are not kept (to edit a file and keep its layout and comments, read it with
keep_layout=True and write it with dump, as move_origin.py and pads.py do). The output parses
back, in the same syntax, to forms equal to the input's.
"""

import argparse
import pathlib
import sys

import _sexp

DATA = pathlib.Path(__file__).resolve().parent.parent / "data"
DEFAULT = DATA / "Coffin-domain.smt2"
SYNTAX_BY_SUFFIX = {".kicad_pcb": "kicad", ".kicad_sch": "kicad", ".kicad_sym": "kicad",
                    ".kicad_mod": "kicad", ".net": "kicad", ".edif": "kicad", ".smt2": "smtlib",
                    ".wat": "wasm", ".wast": "wasm", ".lisp": "lisp", ".scm": "lisp",
                    ".el": "lisp", ".sexp": "lisp"}


def syntax_for(path):
    """The syntax a file's name says it is written in."""
    if path.name in ("dune", "dune-project"):
        return "lisp"
    return SYNTAX_BY_SUFFIX.get(path.suffix, "plain")


def format_sexp(node, width=100, indent=2):
    """The text of `node`'s subtree as lines of at most `width` columns where possible.

    A broken list keeps the atoms that lead it on its opening line while they fit, e.g.
    `(fp_line` or `(module NAME`; every later list child gets lines of its own, runs of later
    atoms are filled onto shared lines, and the list closes on a line of its own. Only a single
    atom longer than the width overruns it.
    """
    if not node.is_atom and len(node) == 0 and repr(node) == "":
        return ""  # the root of an empty source renders as nothing at all
    lines = []
    # Explicit stack: deep nesting costs memory, not Python frames. An entry is a node to lay
    # out at a depth, or a closing parenthesis (a str) to emit as it stands.
    stack = [(node, 0)]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            lines.append(item)
            continue
        n, depth = item
        pad = " " * (depth * indent)
        if n.is_atom:
            lines.append(pad + n.value)
            continue
        text = repr(n)
        if len(pad) + len(text) <= width:
            lines.append(pad + text)
            continue
        children = list(n)
        # Leading atoms stay on the opening line while it fits; the head always does.
        line, lead = pad + "(", 0
        while lead < len(children) and children[lead].is_atom:
            word = children[lead].value
            if lead and len(line) + 1 + len(word) > width:
                break
            line += (" " if lead else "") + word
            lead += 1
        lines.append(line)
        # Later children: each list on its own line, runs of atoms filled onto shared lines.
        inner, later = pad + " " * indent, [pad + ")"]
        words = ""
        for c in reversed(children[lead:]):
            if not c.is_atom:
                if words:
                    later.append(words)
                    words = ""
                later.append((c, depth + 1))
            elif not words:
                words = inner + c.value
            elif len(words) + 1 + len(c.value) <= width:
                words = inner + c.value + " " + words[len(inner):]
            else:
                later.append(words)
                words = inner + c.value
        if words:
            later.append(words)
        stack.extend(later)
    return "\n".join(lines) + "\n"


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("input", nargs="?", type=pathlib.Path, default=DEFAULT)
    ap.add_argument("output", nargs="?", type=pathlib.Path)
    ap.add_argument("--width", type=int, default=100)
    ap.add_argument("--indent", type=int, default=2)
    ap.add_argument("--syntax", choices=["plain", "kicad", "smtlib", "wasm", "lisp"])
    args = ap.parse_args(argv)

    syntax = args.syntax or syntax_for(args.input)
    try:
        with open(args.input, "rb") as f:
            text = "".join(format_sexp(form, args.width, args.indent)
                           for form in _sexp.iterparse(f, syntax=syntax))
    except _sexp.ParseError as e:
        sys.exit(f"{args.input}: {e}")
    if args.output is None:
        sys.stdout.write(text)
    else:
        args.output.write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main()
