"""parse(..., syntax=...): quoted runs and comments, their errors, and the real files of each syntax."""

import pathlib
import re

import pytest

from _sexp import ParseError, dumps, iterparse, parse

FORMATS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "formats"
SYNTAXES = ["plain", "kicad", "smtlib", "wasm", "lisp"]


@pytest.mark.parametrize(
    "syntax, text, values",
    [("plain", '(a "b c" ;d |e|)', ["a", '"b', 'c"', ";d", "|e|"]),
     ("kicad", '(a "b\\" (c";d |e f|)', ["a", '"b\\" (c";d', "|e", "f|"]),
     ("smtlib", '(a "b\\" |c (d| ;e "\n f)', ["a", '"b\\"', "|c (d|", "f"]),
     ("wasm", '(a "b\\" c" ;d ;;e\n (;f (;;) ";) g)', ["a", '"b\\" c"', ";d", "g"]),
     ("lisp", '(a |b\\| c| #|d #|e|# "f|# ;g\n #h)', ["a", "|b\\| c|", "#h"])],
)
def test_each_syntax_reads_its_quotes_and_comments(syntax, text, values):
    root = parse(text, syntax=syntax)
    assert [c.value for c in root] == values
    assert parse(str(root), syntax=syntax) == root


@pytest.mark.parametrize(
    "syntax, source, message",
    [("kicad", '(a "b', "unterminated string"), ("wasm", "(a (; b", "unterminated comment"),
     ("kicad", b'(a "\xff', "input is not valid UTF-8"), ("smtlib", ") |a", "stray closing parenthesis"),
     ("lisp", "a #| b", "unterminated comment")],
)
def test_errors_and_their_order(syntax, source, message):
    with pytest.raises(ParseError, match=re.escape(message)) as excinfo:
        parse(source, syntax=syntax)
    assert excinfo.value.args == (message,)


class Name(str):
    pass


@pytest.mark.parametrize(
    "kwargs, error, message",
    [({"syntax": "json"}, ValueError, "unknown syntax: 'json'"),
     ({"syntax": "KiCad"}, ValueError, "unknown syntax: 'KiCad'"),
     # Near misses that a compare of C strings would take, or one of encoded text raise on.
     ({"syntax": "kicad\x00"}, ValueError, "unknown syntax: 'kicad\\x00'"),
     ({"syntax": "kicad\udc80"}, ValueError, "unknown syntax: 'kicad\\udc80'"),
     ({"syntax": 5}, TypeError, "parse() argument 'syntax' must be str, not int"),
     ({"syntax": None}, TypeError, "parse() argument 'syntax' must be str, not None")],
)
def test_syntax_argument_is_checked(kwargs, error, message):
    with pytest.raises(error, match=re.escape(message)):
        parse("a", **kwargs)
    assert parse('"a b"', syntax=Name("kicad")).value == '"a b"'


# ---- the real files of each syntax ------------------------------------------------------------


def manifest_forms():
    """The `forms` column of ../shared/formats/MANIFEST.md, by file."""
    counts = {}
    for line in (FORMATS / "MANIFEST.md").read_text(encoding="utf-8").splitlines():
        cells = [c.strip() for c in line.split("|")]
        if len(cells) > 6 and re.fullmatch(r"`\w+/[^`]+`", cells[1]) and cells[5].isdigit():
            counts[cells[1].strip("`")] = int(cells[5])
    return counts


def format_files():
    files = sorted(p for p in FORMATS.glob("*/*") if p.parent.name != "LICENSES")
    return files or [pytest.param(None, marks=pytest.mark.skip(reason="no ../shared/formats"))]


def reference_atoms(data, syntax):
    """Every atom of `data`, in order, read byte by byte from the rules alone."""
    quotes = {"plain": b"", "kicad": b'"', "smtlib": b'"|', "wasm": b'"', "lisp": b'"|'}[syntax]
    escapes = syntax in ("kicad", "wasm", "lisp")
    line = {"smtlib": b";", "lisp": b";", "wasm": b";;"}.get(syntax)
    block = {"wasm": (b"(;", b";)"), "lisp": (b"#|", b"|#")}.get(syntax)
    plain_run = re.compile(rb"[^\t\n\r ()" + re.escape(quotes + b";#\\") + rb"]+")
    atoms, i, n = [], 0, len(data)

    def comment_at(j):
        if line and data.startswith(line, j):
            return "line"
        if block and data.startswith(block[0], j):
            return "block"
        return None

    while i < n:
        c = data[i:i + 1]
        kind = comment_at(i)
        if c in (b" ", b"\t", b"\r", b"\n"):
            i += 1
        elif kind == "line":
            end = data.find(b"\n", i)
            i = n if end < 0 else end
        elif kind == "block":
            depth, i = 1, i + 2
            while depth:
                nxt = min((k for k in (data.find(block[0], i), data.find(block[1], i)) if k >= 0))
                depth += 1 if data.startswith(block[0], nxt) else -1
                i = nxt + 2
        elif c in (b"(", b")"):
            i += 1
        else:
            start = i
            while i < n:
                c = data[i:i + 1]
                if c in (b" ", b"\t", b"\r", b"\n", b"(", b")") or comment_at(i):
                    break
                if c and c in quotes:
                    i += 1
                    while data[i:i + 1] != c:
                        i += 2 if escapes and data[i:i + 1] == b"\\" else 1
                    i += 1
                    continue
                m = plain_run.match(data, i)
                i = m.end() if m else i + 1
            atoms.append(data[start:i])
    return atoms


def tree_atoms(root):
    out, stack = [], [root]
    while stack:
        node = stack.pop()
        if node.is_atom:
            out.append(node.value.encode())
        else:
            stack.extend(reversed(list(node)))
    return out


@pytest.mark.parametrize("path", format_files(), ids=lambda p: p and f"{p.parent.name}/{p.name}")
def test_real_files_read_keep_their_strings_and_write_back(path):
    syntax, data = path.parent.name, path.read_bytes()
    with path.open("rb") as f:
        forms = list(iterparse(f, syntax=syntax, chunk_size=65537))
    assert len(forms) == manifest_forms()[f"{syntax}/{path.name}"]
    assert forms == list(iterparse(data, syntax=syntax))
    if len(forms) == 1:
        assert parse(data, syntax=syntax) == forms[0]
    # Every atom, quoted runs and all, byte for byte as the file has it.
    assert [a for form in forms for a in tree_atoms(form)] == reference_atoms(data, syntax)
    for form in forms:
        for indent in (None, 0, 1, "\t", " \t"):
            assert parse(dumps(form, indent=indent), syntax=syntax) == form
