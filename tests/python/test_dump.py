"""dumps and dump: the canonical text, the indented layout, writing to files in pieces."""

import io
import re

import pytest
from hypothesis import example, given, settings, strategies as st

from _sexp import SExp, dump, dumps, parse

STALE = "stale node reference"
MODULE = "(module R_0603 (layer F.Cu) (pad 1 smd (at -0.79 0) (size 0.9 0.95)))"


@pytest.mark.parametrize(
    "source, indent, text",
    [(MODULE, 2, "(module R_0603\n  (layer F.Cu)\n  (pad 1 smd\n    (at -0.79 0)\n    (size 0.9 0.95)))"),
     (MODULE, "\t", "(module R_0603\n\t(layer F.Cu)\n\t(pad 1 smd\n\t\t(at -0.79 0)\n\t\t(size 0.9 0.95)))"),
     ("((a) b (c) d e)", 1, "(\n (a)\n b\n (c)\n d\n e)"),
     ("(a (b) ())", 0, "(a\n(b)\n())"),
     ("(a (b) ())", "", "(a\n(b)\n())"),
     ("(a b c)", 4, "(a b c)"), ("()", 2, "()"), ("x", 2, "x"), ("", 2, ""), (" ", None, ""),
     ("((()))", " \t", "(\n \t(\n \t \t()))")],
)
def test_layout(source, indent, text):
    root = parse(source)
    assert dumps(root, indent=indent) == text
    out = io.BytesIO()
    dump(root, out, indent=indent)
    assert out.getvalue() == text.encode()


def test_canonical_text_is_str_and_subtrees_start_at_depth_zero():
    root = parse('(a "\u00e9 b" (c (d)) e)', syntax="kicad")
    assert dumps(root) == dumps(root, indent=None) == str(root)
    assert dumps(root[2], indent=1) == "(c\n (d))"
    assert dumps(SExp()) == "()"


@st.composite
def texts(draw):
    pieces = st.sampled_from(["(", ")", " ", "\n", "a", "bc", '"', "|", ";", ";;", "#|", "|#",
                              "(;", ";)", "\\", "\t", "\u00e9"])
    return "".join(draw(st.lists(pieces, max_size=40)))


@settings(max_examples=400, deadline=None)
@given(texts(), st.sampled_from(["plain", "kicad", "smtlib", "wasm", "lisp"]))
@example("(b) #c", "kicad")  # a line starting with '#' would be a comment there
def test_indented_text_reads_back_wherever_the_canonical_text_does(text, syntax):
    try:
        tree = parse("(" + text + ")", syntax=syntax)
        if parse(str(tree), syntax=syntax) != tree:
            return
    except ValueError:  # the text, or in wasm "(;" of a list that starts with ";", reads otherwise
        return
    for indent in (0, 1, "\t", " \t "):
        assert parse(dumps(tree, indent=indent), syntax=syntax) == tree


@pytest.mark.parametrize(
    "indent, error, message",
    [(-1, ValueError, "indent must not be negative"),
     ("\n", ValueError, "indent must hold only spaces and tabs"),
     (" \u00a0", ValueError, "indent must hold only spaces and tabs"),
     (1.5, TypeError, "dumps() argument 'indent' must be None, int or str, not float"),
     (b" ", TypeError, "dumps() argument 'indent' must be None, int or str, not bytes")],
)
def test_indent_is_checked(indent, error, message):
    with pytest.raises(error, match=re.escape(message)):
        dumps(parse("(a)"), indent=indent)


def test_node_must_be_a_live_handle():
    with pytest.raises(TypeError, match=re.escape("dumps() argument 'node' must be SExp, not int")):
        dumps(5)
    with pytest.raises(TypeError, match=re.escape("dump() argument 'node' must be SExp, not None")):
        dump(None, io.BytesIO())
    root = parse("(a (b))")
    inner = root[1]
    root[0].remove()
    for call in (lambda: dumps(inner), lambda: dumps(inner, indent=1), lambda: dump(inner, io.BytesIO())):
        with pytest.raises(RuntimeError, match=STALE):
            call()


def test_million_deep_tree_needs_no_call_stack():
    depth = 1_000_000
    root = parse("(" * depth + ")" * depth)
    assert dumps(root) == str(root)
    expected = "(\n" * (depth - 1) + "()" + ")" * (depth - 1)
    assert dumps(root, indent=0) == expected
    out = io.BytesIO()
    dump(root, out, indent="")
    assert out.getvalue() == expected.encode()


class Pieces:
    def __init__(self, on_write=None):
        self.pieces, self.on_write = [], on_write

    def write(self, data):
        assert type(data) is bytes
        self.pieces.append(data)
        if self.on_write:
            self.on_write(len(self.pieces))


def big_tree():
    return parse("(board " + " ".join(f"(pad {i} (at {i} 0) (net \u00e9{i}))" for i in range(40_000)) + ")")


def test_dump_writes_in_pieces():
    root = big_tree()
    for indent in (None, "\t"):
        f = Pieces()
        dump(root, f, indent=indent)
        text = dumps(root, indent=indent).encode()
        assert b"".join(f.pieces) == text
        assert len(f.pieces) > 2 and max(map(len, f.pieces)) < len(text) // 2


def test_write_that_removes_a_node_stops_the_dump():
    root = big_tree()
    f = Pieces(lambda n: n == 1 and root[-1].remove())
    with pytest.raises(RuntimeError, match=STALE):
        dump(root, f)
    assert len(f.pieces) == 1


def test_write_that_edits_the_tree_is_safe():
    root = big_tree()

    def edit(n):
        pad = root[n * 1000]
        root.prepend(pad)  # moves a pad the walk has not reached, or has
        pad.append(root.new_atom("x" * 40))
        pad[0].value = "PAD"
        root.append(root.new_list())

    f = Pieces(edit)
    dump(root, f, indent=1)
    text = b"".join(f.pieces)
    assert text.startswith(b"(board") and text.endswith(b")")


def test_errors_of_write_propagate():
    class Broken:
        def write(self, data):
            raise OSError("full")

    with pytest.raises(OSError, match="full"):
        dump(parse("(a)"), Broken())
    with pytest.raises(AttributeError):
        dump(parse("(a)"), object())
