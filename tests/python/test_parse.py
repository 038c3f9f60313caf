import array
import re
import sys

import pytest

from _sexp import ParseError, SExp, parse
from conftest import unknown_keyword

EXPECTED_KIND = "expected str, bytes, or bytearray"
TEXT = "(a b)"
CODES = list(TEXT.encode())


StrSub = type("StrSub", (str,), {})
BytesSub = type("BytesSub", (bytes,), {})
BytearraySub = type("BytearraySub", (bytearray,), {})


class OldStyleSequence:
    """Iterated through __getitem__ alone; its length cannot be taken."""

    def __init__(self, data):
        self.data = data

    def __getitem__(self, i):
        return self.data[i]

    def __len__(self):
        raise ValueError("no length")


class HugeLengthSequence(OldStyleSequence):
    def __len__(self):
        return sys.maxsize


class BrokenSequence(OldStyleSequence):
    def __getitem__(self, i):
        raise LookupError("broken")


@pytest.mark.parametrize(
    "source",
    [TEXT, StrSub(TEXT), TEXT.encode(), BytesSub(TEXT.encode()), bytearray(TEXT.encode()),
     BytearraySub(TEXT.encode()), CODES, tuple(CODES), array.array("B", CODES), memoryview(TEXT.encode()),
     OldStyleSequence(CODES), HugeLengthSequence(CODES)],
    ids=lambda s: type(s).__name__,
)
def test_accepted_source_kinds(source):
    root = parse(source)
    assert type(root) is SExp and repr(root) == TEXT
    assert [child.value for child in root] == ["a", "b"]


def test_keyword_source_and_byte_values():
    assert repr(parse(source="(a)")) == "(a)"
    assert parse([True, 0x41]).value == "\x01A"  # bool items are integers
    assert parse(b"\x00\xf0\x9f\x98\x80").value == "\x00\U0001f600"


@pytest.mark.parametrize("source", ["", " \n", " \t\r\n ", b"", bytearray(), [], (), b"\r\n"])
def test_source_without_form_gives_empty_implicit_root(source):
    root = parse(source)
    assert (repr(root), len(root), root.is_atom, root.parent) == ("", 0, False, None)
    assert root == parse("()")


@pytest.mark.parametrize(
    "call, needle",
    [(lambda: parse(), "missing required argument 'source'"),
     (lambda: parse("a", "b"), "takes exactly 1 positional argument (2 given)"),
     (lambda: parse(x="a"), "'source'"),
     (lambda: parse("a", x="b"), unknown_keyword("parse", "x")),
     (lambda: parse("a", source="b"), "given by name ('source') and position (1)"),
     (lambda: parse(source="a", x="b"), unknown_keyword("parse", "x")),
     (lambda: parse("a", **{"source\x00": "b"}), unknown_keyword("parse", "source\x00")),
     (lambda: parse(**{"sourc\udc80": "a"}), "missing required argument 'source'"),
     (lambda: parse("a", "b", "c", "d"), "takes at most 3 arguments (4 given)")],
)
def test_binding_errors_name_parse(call, needle):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert "parse()" in str(excinfo.value) and needle in str(excinfo.value)


@pytest.mark.parametrize(
    "source",
    [None, 5, 1.5, {}, {1, 2}, {"a": 1}, object(), iter(CODES), [256], [-1], ["a"], [40.0], [2**70], [b"("],
     "\ud800", "(a \udfff)", BrokenSequence(CODES), array.array("i", [300])],
)
def test_unusable_source_raises_type_error_without_chaining(source):
    with pytest.raises(TypeError) as excinfo:
        parse(source)
    assert type(excinfo.value) is TypeError and str(excinfo.value) == EXPECTED_KIND
    assert excinfo.value.__context__ is None and excinfo.value.__cause__ is None


@pytest.mark.parametrize(
    "source, message",
    [*[(s, "unclosed parenthesis") for s in ("(a", "(", "((a)", "a(", "a b (")],
     *[(s, "stray closing parenthesis") for s in (")", ")(", "a)", "(a))(", "a b )", b"())")],
     *[(s, "multiple top-level forms") for s in ("a b", "(a) (b)", "a(b)", b"()()", [97, 32, 98])]],
)
def test_structural_errors(source, message):
    with pytest.raises(ParseError) as excinfo:
        parse(source)
    error = excinfo.value
    assert type(error) is ParseError and isinstance(error, ValueError)
    assert (error.args, str(error)) == ((message,), message)


@pytest.mark.parametrize(
    "data",
    [b"\xff", b"(a \xff", b"\xed\xa0\x80", b"\xed\xbf\xbf", b"\xc0\xaf", b"\xc1\xbf", b"\xe0\x80\xaf",
     b"\xf0\x80\x80\xaf", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xe2\x82", b"(\xc2)", b"\x80", b"a\xbf",
     b"\xf8\x88\x80\x80\x80", b"\xfe", b"\xe2\x28\xa1", b")\xff", b"a b \xff"],
)
@pytest.mark.parametrize("wrap", [bytes, bytearray, list], ids=["bytes", "bytearray", "list"])
def test_invalid_utf8_is_reported_before_structure(data, wrap):
    with pytest.raises(ParseError, match=re.escape("input is not valid UTF-8")) as excinfo:
        parse(wrap(data))
    assert excinfo.value.args == ("input is not valid UTF-8",)


@pytest.mark.parametrize(
    "data", [b"\xed\x9f\xbf", b"\xee\x80\x80", b"\xf4\x8f\xbf\xbf", b"\xc2\x80", b"\xf0\x90\x80\x80"]
)
def test_utf8_boundary_values_are_accepted(data):
    assert parse(data).value == data.decode()


@pytest.mark.parametrize(
    "source, rendered, kinds",
    [("hello", "hello", None), ("()", "()", []), ("(a(b)c)", "(a (b) c)", [True, False, True]),
     ("\x0b", "\x0b", None), ("\x0c", "\x0c", None), ('("a b")', '("a b")', [True, True]), (";x", ";x", None),
     ("('a . b)", "('a . b)", [True, True, True]), ("(a\u00a0b #t `x)", "(a\u00a0b #t `x)", [True, True, True]),
     ("\r\n (a\t\tb)\r\n", "(a b)", [True, True])],
)
def test_grammar(source, rendered, kinds):
    root = parse(source)
    assert repr(root) == rendered
    if kinds is None:
        assert root.is_atom and root.value == source
    else:
        assert [child.is_atom for child in root] == kinds


@pytest.mark.parametrize("text", ["a" * 15, "a" * 16, "é" * 7 + "a", "é" * 8, "x" * 1000, "\u20ac" * 5])
def test_atom_text_of_any_length_reads_back(text):
    root = parse(f"({text} {text})")
    assert [c.value for c in root] == [text, text]
    assert repr(root) == f"({text} {text})"
    assert root[0] == root[1] and root[text] == root[0]


def test_each_call_makes_an_independent_tree():
    one, two = parse("(a)"), parse("(a)")
    one.append(one.new_atom("b"))
    assert (repr(one), repr(two)) == ("(a b)", "(a)")
    with pytest.raises(ValueError, match=re.escape("node belongs to a different tree")):
        one.append(two[0])


@pytest.mark.parametrize("container", [bytearray, list])
def test_input_changed_after_parse_leaves_tree_unchanged(container):
    source = container(b"(abc defghijklmnopqrstu)")
    root = parse(source)
    source[1:4] = b"xyz"
    source[5:] = b""
    assert repr(root) == "(abc defghijklmnopqrstu)"


def test_a_million_nested_lists():
    depth = 1_000_000
    text = "(" * depth + ")" * depth
    root = parse(text)
    assert len(root) == 1 and len(root[0]) == 1
    assert repr(root) == text
    assert root == parse(text.encode())
    assert root != parse("(" * depth + "x" + ")" * depth)


def canonical(text):
    """The expected rendering, built without the module: single spaces between tokens."""
    text = re.sub(r"[\t\n\r ]+", " ", text).strip(" ")
    text = text.replace("( ", "(").replace(" )", ")")
    text = re.sub(r"\)(?=[^ )])", ") ", text)
    return re.sub(r"(?<=[^ (])\(", " (", text)


def test_corpus_file_round_trips(corpus_file):
    data = corpus_file.read_bytes()
    root = parse(data)
    text = repr(root)
    assert text == canonical(data.decode())
    assert parse(text) == root
