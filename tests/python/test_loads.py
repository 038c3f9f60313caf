"""loads, dumps of plain data and error_position: each gives what going through a tree gives."""

import re

import pytest
from hypothesis import given, settings, strategies as st

from _sexp import SExp, dumps, error_position, loads, parse

SYNTAXES = ["plain", "kicad", "smtlib", "wasm", "lisp"]


@st.composite
def texts(draw):
    pieces = st.sampled_from(["(", ")", " ", "\n", "a", "bc", "bc", '"', "|", ";", ";;", "#|", "|#",
                              "(;", ";)", "\\", "\t", "\u00e9", "a long atom of text"])
    return "".join(draw(st.lists(pieces, max_size=40)))


def outcome(call):
    try:
        return call()
    except Exception as e:  # noqa: BLE001  (the exception itself is the result compared)
        return type(e), str(e)


@settings(max_examples=600, deadline=None)
@given(texts(), st.sampled_from(SYNTAXES))
def test_loads_and_error_position_answer_as_parse_does(text, syntax):
    # str, bytes, and bytes with a bad byte somewhere: every error, in parse's order.
    for source in (text, text.encode(), text.encode().replace(b"bc", b"b\xff", 1)):
        expected = outcome(lambda: parse(source, syntax=syntax).tolist())
        assert outcome(lambda: loads(source, syntax=syntax)) == expected
        assert (error_position(source, syntax=syntax) is None) == (type(expected) is not tuple)


@pytest.mark.parametrize("call", [loads, error_position])
def test_arguments_are_checked_as_parse_checks_them(call):
    name = call.__name__
    for bad, error, message in [
        (5, TypeError, "expected str, bytes, or bytearray"),
        ("\ud800", TypeError, "expected str, bytes, or bytearray"),
        ([300], TypeError, "expected str, bytes, or bytearray"),
    ]:
        with pytest.raises(error, match=re.escape(message)):
            call(bad)
    with pytest.raises(ValueError, match=re.escape("unknown syntax: 'json'")):
        call(5, syntax="json")  # the syntax is checked before the source
    with pytest.raises(TypeError, match=re.escape(f"{name}() argument 'syntax' must be str")):
        call("a", syntax=None)
    with pytest.raises(TypeError):
        call("a", "plain")  # syntax is keyword-only
    assert call(bytearray(b"(a)")) == call([40, 97, 41]) == call("(a)")


def test_loads_shares_short_texts_and_keeps_long_ones_whole():
    data = loads(b'(pad "x y \xc3\xa9" (at 1 1) (at 1 "a longer text than fifteen"))', syntax="kicad")
    assert data == ["pad", '"x y \u00e9"', ["at", "1", "1"], ["at", "1", '"a longer text than fifteen"']]
    assert data[2][0] is data[3][0]
    assert loads("  ") == [] and loads("x") == "x" and loads("()") == []


@pytest.mark.parametrize(
    "source, position",
    [("(a\n  (b", (5, 2, 3)),                 # the innermost open list
     ("(\u00e9 \u00e9))", (7, 1, 6)),         # bytes for the offset, characters for the column
     ("(a)\r\n(b)", (5, 2, 1)),               # the second form; CR is not a line end of its own
     (b"(a)\n \xe9)", (5, 2, 2)),             # the bad byte, before the stray parenthesis
     (b"\xf0\x9f\x98", (0, 1, 1))],           # a sequence cut off by the end
)
def test_error_position(source, position):
    assert error_position(source) == position


# A kicad '#' atom mid-line is no comment; a '#' line is, with any quote on it.
@pytest.mark.parametrize("source, position", [('(a #b"c)', (5, 1, 6)),
                                              ('(a\n  #c "\n b "d)', (13, 3, 4))])
def test_error_position_of_a_string_near_hash(source, position):
    assert error_position(source, syntax="kicad") == position


@st.composite
def data(draw):
    atoms = st.text(st.sampled_from("ab (\u00e9\t"), max_size=20)
    items = st.recursive(atoms, lambda inner: st.lists(inner, max_size=4)
                         | st.lists(inner, max_size=3).map(tuple), max_leaves=30)
    return draw(st.lists(items, max_size=5))


@settings(max_examples=300, deadline=None)
@given(data())
def test_dumps_of_data_is_the_text_of_the_tree_it_stands_for(items):
    tree = SExp()
    tree.extend(items)
    for indent in (None, 0, 2, "\t"):
        assert dumps(items, indent=indent) == dumps(tree, indent=indent)
        assert dumps(tuple(items), indent=indent) == dumps(tree, indent=indent)
    for item in items:
        if isinstance(item, str):
            assert dumps(item, indent=2) == item


def test_dumps_refuses_what_extend_refuses():
    loop = ["a"]
    loop.append(loop)
    for node, error, message in [
        (["a", ["b", 1.5]], TypeError, "dumps() items must be str, list, or tuple, not float"),
        ([loop], ValueError, "dumps() items contain themselves"),
        (["\ud800"], UnicodeEncodeError, "surrogates not allowed"),
        ({"a"}, TypeError, "dumps() argument 'node' must be SExp, not set"),
    ]:
        with pytest.raises(error, match=re.escape(message)):
            dumps(node, indent=1)
    with pytest.raises(ValueError, match="indent must not be negative"):
        dumps(["a"], indent=-1)


def test_dumps_reads_subclasses_their_own_way_and_survives_their_edits():
    class Reversed(list):
        def __iter__(self):
            return iter(list(reversed(self)))

    outer = ["x", None, "z"]

    class Clearing(tuple):
        def __iter__(self):
            outer.clear()  # frees what the walk is reading, were it not held
            return tuple.__iter__(self)

    assert dumps([Reversed(["a", "b"]), ("c",)]) == "((b a) (c))"
    outer[1] = Clearing(("y",))
    assert dumps(outer) == "(x (y))"


def test_deep_nesting_needs_no_call_stack():
    depth = 200_000
    text = "(" * depth + "x" + ")" * depth
    data = loads(text)
    assert dumps(data) == text  # every level past a thousand is watched for cycles, and let go
    assert dumps(data, indent=0) == "(\n" * (depth - 1) + "(x" + ")" * depth
