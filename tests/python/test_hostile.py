"""Inputs built to hurt: extreme nesting and sizes, malformed UTF-8, NUL bytes, and byte
sequences that misbehave while they are read."""

import array
import gc
import os
import re

import pytest
from hypothesis import given, settings, strategies as st

from _sexp import ParseError, SExp, parse

PAGE = os.sysconf("SC_PAGE_SIZE")
MB = 1 << 20
NOT_UTF8 = "input is not valid UTF-8"
SOURCE_TYPE = "expected str, bytes, or bytearray"


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def rss_follows_frees():
    """False under the address sanitizer's quarantine, which holds freed blocks back."""
    with open("/proc/self/maps") as f:
        if "libasan" not in f.read():
            return True
    return "quarantine_size_mb=0" in os.environ.get("ASAN_OPTIONS", "")


def raises(exc, msg):
    return pytest.raises(exc, match=f"^{re.escape(msg)}$")


# ----------------------------------------------------------------------------------------
# Size and depth

DEPTH = 10_000_000


def test_ten_million_open_parentheses_are_unclosed():
    with raises(ParseError, "unclosed parenthesis"):
        parse("(" * DEPTH)
    with raises(ParseError, "unclosed parenthesis"):
        parse(b"(" * DEPTH + b"a" + b")" * (DEPTH - 1))


def test_ten_million_nested_lists_cost_memory_in_proportion():
    text = "(" * DEPTH + ")" * DEPTH
    gc.collect()
    before = rss()
    root = parse(text)
    measurable = rss_follows_frees()
    per_node = (rss() - before) / DEPTH
    assert per_node < 100 or not measurable, f"{per_node:.0f} bytes per node"
    assert repr(root) == text
    copy = root.clone()
    assert copy == root and not (copy != root)
    inner = root
    for _ in range(3):
        inner = inner.head
    assert len(inner) == 1 and repr(inner.clone()) == text[3:-3]
    copy.head.remove()
    assert repr(copy) == "()" and copy != root
    del root, copy, inner
    gc.collect()
    assert rss() - before < 50 * MB or not measurable  # both trees are gone


def test_deep_chain_removal_from_the_middle():
    depth = 1_000_000
    root = parse("(" * depth + "x" + ")" * depth)
    mid = root
    for _ in range(depth // 2):
        mid = mid.head
    part = mid.extract()
    assert repr(root) == "(" * (depth // 2) + ")" * (depth // 2)
    assert repr(part) == "(" * (depth // 2) + "x" + ")" * (depth // 2)
    assert part.clone() == part


@pytest.mark.parametrize("source", [
    ")" * DEPTH,
    "(a)" + ")" * DEPTH,
    "(" * 1_000_000 + ")" * 1_000_001 + "(" * 1_000_000,
    "a b " * 1_000_000 + ")",
], ids=["only closing", "after a form", "one too many", "after many top-level forms"])
def test_long_runs_of_closing_parentheses_are_stray(source):
    with raises(ParseError, "stray closing parenthesis"):
        parse(source)


HUGE = 100 * MB


def test_a_hundred_megabyte_atom():
    atom = "x" * (HUGE - 1) + "é"
    root = parse(atom)
    assert root.is_atom and root.value == atom and repr(root) == atom
    in_list = parse(b"(" + atom.encode() + b" y)")
    assert in_list[0].value == atom and in_list[atom].value == atom and atom in in_list
    assert in_list.clone()[0] == root
    in_list[1].value = atom
    assert in_list[0] == in_list[1]
    in_list[1].value = "short"
    fresh = SExp()
    fresh.append(fresh.new_atom(atom))
    assert fresh == parse("(" + atom + ")") and len(repr(fresh)) == HUGE + 2


# ----------------------------------------------------------------------------------------
# UTF-8

INVALID_UTF8 = {
    "lone continuation": b"\x80",
    "last continuation": b"\xbf",
    "overlong 2-byte NUL": b"\xc0\x80",
    "overlong 2-byte": b"\xc1\xbf",
    "overlong 3-byte": b"\xe0\x9f\xbf",
    "overlong 3-byte NUL": b"\xe0\x80\x80",
    "overlong 4-byte": b"\xf0\x8f\xbf\xbf",
    "overlong 4-byte NUL": b"\xf0\x80\x80\x80",
    "first surrogate": b"\xed\xa0\x80",
    "last surrogate": b"\xed\xbf\xbf",
    "surrogate pair": b"\xed\xa0\xbd\xed\xb8\x80",
    "above U+10FFFF": b"\xf4\x90\x80\x80",
    "lead F5": b"\xf5\x80\x80\x80",
    "lead F8": b"\xf8\x88\x80\x80\x80",
    "lead FE": b"\xfe",
    "lead FF": b"\xff",
    "2-byte truncated at end": b"\xc3",
    "3-byte truncated at end": b"\xe2\x82",
    "4-byte truncated at end": b"\xf0\x9f\x98",
    "2-byte cut by ASCII": b"\xc3a",
    "3-byte cut by ASCII": b"\xe2\x82a",
    "4-byte cut by a space": b"\xf0\x9f\x98 ",
    "bad second byte": b"\xe2\x28\xa1",
    "bad third byte": b"\xe2\x82\x28",
    "bad fourth byte": b"\xf0\x9f\x98\x28",
    "continuation after complete": b"\xc3\xa9\x80",
    "stray continuation after 16 ASCII bytes": b"a" * 16 + b"\x80",
    "truncated lead at byte 15": b"a" * 15 + b"\xc3",
    "lead straddling a 16-byte block": b"a" * 15 + b"\xe2\x82" + b"a" * 16,
    "invalid after a long ASCII run": b"a" * 1000 + b"\xff" + b"a" * 1000,
    "invalid deep in a list": b"(" * 100 + b"\xed\xa0\x80" + b")" * 100,
    "invalid before a structural error": b"(a \xff",
    "invalid before a stray parenthesis": b")\xc0\xaf",
}

VALID_EDGES = [b"\xc2\x80", b"\xdf\xbf", b"\xe0\xa0\x80", b"\xed\x9f\xbf", b"\xee\x80\x80",
               b"\xef\xbf\xbf", b"\xf0\x90\x80\x80", b"\xf4\x8f\xbf\xbf", b"\x7f",
               b"a" * 15 + b"\xf0\x9f\x98\x80" + b"a" * 15]


@pytest.mark.parametrize("data", INVALID_UTF8.values(), ids=INVALID_UTF8.keys())
@pytest.mark.parametrize("kind", [bytes, bytearray, list, memoryview])
def test_invalid_utf8_is_refused_in_every_form(data, kind):
    with raises(ParseError, NOT_UTF8):
        parse(kind(data))


@pytest.mark.parametrize("data", VALID_EDGES)
def test_utf8_edges_are_accepted(data):
    root = parse(data)
    assert root.value == data.decode() and root == parse(data.decode())


UTF8_BYTES = st.lists(st.sampled_from([b"a", b" ", b"(", b")", b"\x00", b"\x7f", b"\x80",
                                       b"\xbf", b"\xc0", b"\xc2", b"\xdf", b"\xe0", b"\xa0",
                                       b"\xed", b"\x9f", b"\xef", b"\xf0", b"\x90", b"\xf4",
                                       b"\x8f", b"\xf5", b"\xff", b"a" * 16]),
                      max_size=24).map(b"".join)


@settings(max_examples=400, deadline=None, database=None)
@given(data=UTF8_BYTES)
def test_utf8_check_agrees_with_the_strict_decoder(data):
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        with raises(ParseError, NOT_UTF8):
            parse(data)
        return
    try:
        got = parse(data)
    except ParseError as e:
        assert str(e) != NOT_UTF8
        with raises(ParseError, str(e)):
            parse(text)
    else:
        assert got == parse(text) and repr(got) == repr(parse(text))


# ----------------------------------------------------------------------------------------
# NUL bytes are atom text like any other byte


def test_nul_bytes_are_atom_text():
    root = parse(b"(a\x00b \x00 " + b"\x00" * 16 + b")")
    assert [n.value for n in root] == ["a\x00b", "\x00", "\x00" * 16]
    assert repr(root) == "(a\x00b \x00 " + "\x00" * 16 + ")"
    assert root["\x00"].value == "\x00" and "\x00" * 16 in root and "\x00" * 15 not in root
    assert parse("\x00") == parse([0]) and parse("\x00").value == "\x00"
    root.append(root.new_atom("x\x00" * 10))
    root[0].value = "\x00"
    assert repr(root.clone()) == "(\x00 \x00 " + "\x00" * 16 + " " + "x\x00" * 10 + ")"


# ----------------------------------------------------------------------------------------
# Sequences of byte values that misbehave


class Index:
    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __index__(self):
        if self.action:
            self.action()
        return self.value


class Seq:
    """A sequence by __len__ and __getitem__ only."""

    def __init__(self, items, length=None, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise ValueError("broken sequence")
        return self.items[i]


ABC = list(b"(a b)")

REFUSED_SEQUENCES = {
    "raises while read": Seq(ABC, fail_at=2),
    "raises at once": Seq(ABC, fail_at=0),
    "2**64": ABC[:-1] + [2**64],
    "-2**64": [-2**64] + ABC,
    "256": ABC + [256],
    "-1": [-1],
    "2**63": [2**63],
    "float": [40, 1.5, 41],
    "str item": ["(", ")"],
    "bytes item": [b"(", b")"],
    "None item": [None],
    "index object out of range": [Index(40), Index(2**64)],
    "array of wide ints": array.array("i", [40, 300, 41]),
    "a handle as an item": [40, SExp(), 41],
}


@pytest.mark.parametrize("source", REFUSED_SEQUENCES.values(), ids=REFUSED_SEQUENCES.keys())
def test_sequences_that_cannot_give_bytes(source):
    with raises(TypeError, SOURCE_TYPE) as info:
        parse(source)
    # The failure that stopped the conversion is discarded, not chained.
    assert info.value.__context__ is None and info.value.__cause__ is None


@pytest.mark.parametrize("source", [None, 5, 1.5, {}, {40, 41}, {40: 41}, iter(ABC),
                                    (b for b in ABC), object(), "\ud800(a)"])
def test_non_sequences_are_refused(source):
    with raises(TypeError, SOURCE_TYPE):
        parse(source)


def test_sequences_of_byte_values_in_many_shapes():
    appended = list(b"(a")

    def grow():  # each converted item appends the next one
        if len(appended) < 5:
            appended.append(Index(ord("b"), grow))
        elif len(appended) == 5:
            appended.append(ord(")"))

    appended.append(Index(32, grow))
    cleared = list(b"(a b c)")
    cleared[3] = Index(32, cleared.clear)
    cases = [
        (Seq(ABC, length=0), "(a b)"),
        (Seq(ABC, length=10**12), "(a b)"),  # a length claim only sizes the buffer
        (Seq(ABC, length=2**62), "(a b)"),
        (Seq(ABC, length=ValueError("no length")), "(a b)"),
        (Seq(ABC, length=-1), "(a b)"),
        (range(40, 42), "()"),
        (array.array("B", b"(x)"), "(x)"),
        (memoryview(b"(m)"), "(m)"),
        ([40, True, 41], "(\x01)"),
        ([Index(40), Index(97), Index(41)], "(a)"),
        ((40, 41), "()"),
        (appended, "(a bb)"),  # items appended while iterating are read too
    ]
    for source, text in cases:
        assert repr(parse(source)) == text, source
    with raises(ParseError, "unclosed parenthesis"):
        parse(cleared)  # the list emptied itself at its fourth item


def test_subclasses_of_the_text_types():
    class S(str):
        pass

    class B(bytes):
        pass

    class A(bytearray):
        pass

    for source in [S("(a b)"), B(b"(a b)"), A(b"(a b)")]:
        assert repr(parse(source)) == "(a b)"
    with raises(ParseError, NOT_UTF8):
        parse(B(b"\xff"))
