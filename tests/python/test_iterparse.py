"""iterparse: forms one by one from texts and binary files read in chunks."""

import gc
import io
import random
import re
import weakref

import pytest

from _sexp import ParseError, SExp, iterparse, parse

SCRIPT = (
    b"; header (with a paren\r\n(set-info :source |two\nlines (x) \"q\"|)\n"
    b"(declare-fun f () Int) top-atom (assert (= (f) \"\xc3\xa9\"\" s\"));tail\n(check-sat)"
)
SCRIPT_FORMS = ['(set-info :source |two\nlines (x) "q"|)', "(declare-fun f () Int)", "top-atom",
                '(assert (= (f) "\u00e9"" s"))', "(check-sat)"]


class Reader:
    """A binary file whose read() returns at most `most` bytes, chosen by `rng` when given."""

    def __init__(self, data, most=None, rng=None):
        self.data, self.at, self.most, self.rng, self.calls = data, 0, most, rng, 0

    def read(self, n):
        self.calls += 1
        if self.most is not None:
            n = min(n, self.rng.randint(1, self.most) if self.rng else self.most)
        piece = self.data[self.at:self.at + n]
        self.at += len(piece)
        return piece


def test_forms_of_every_kind_of_source():
    text = SCRIPT.decode()
    for source in (text, SCRIPT, bytearray(SCRIPT), list(SCRIPT), io.BytesIO(SCRIPT)):
        assert [repr(f) for f in iterparse(source, syntax="smtlib")] == SCRIPT_FORMS
    for empty in ("", b" \n", io.BytesIO(b"; only a comment"), []):
        assert list(iterparse(empty, syntax="smtlib")) == []


def test_each_form_is_its_own_tree():
    first, second = iterparse("(a b) (c)")
    first[0].remove()
    assert (repr(first), repr(second)) == ("(b)", "(c)")
    assert first.parent is None and type(first) is SExp


def test_chunks_of_every_size_and_short_reads_give_the_same_forms():
    for chunk in range(1, len(SCRIPT) + 2):
        got = [repr(f) for f in iterparse(io.BytesIO(SCRIPT), syntax="smtlib", chunk_size=chunk)]
        assert got == SCRIPT_FORMS, chunk
    rng = random.Random(5)
    for _ in range(50):
        reader = Reader(SCRIPT, most=7, rng=rng)
        assert [repr(f) for f in iterparse(reader, syntax="smtlib", chunk_size=64)] == SCRIPT_FORMS


@pytest.mark.parametrize(
    "source, syntax, forms, message",
    [(b'(a) (b "c', "kicad", ["(a)"], "unterminated string"),
     (b"(a) (; (b)", "wasm", ["(a)"], "unterminated comment"),
     (b"(a) b) (c", "plain", ["(a)", "b"], "stray closing parenthesis"),
     (b"(a) (b (c)", "plain", ["(a)"], "unclosed parenthesis"),
     (b"(a) b\xff c", "plain", ["(a)"], "input is not valid UTF-8"),
     (b"(a) (\xc3\xa9) b \xe2\x82", "plain", ["(a)", "(\u00e9)", "b"], "input is not valid UTF-8")],
)
def test_forms_before_an_error_come_first(source, syntax, forms, message):
    for chunk in (1, 2, 3, 1 << 20):
        it = iterparse(io.BytesIO(source), syntax=syntax, chunk_size=chunk)
        got = []
        with pytest.raises(ParseError, match=re.escape(message)):
            for form in it:
                got.append(repr(form))
        assert got == forms
        assert list(it) == []  # raised once, then exhausted


class Failing:
    def __init__(self, result):
        self.result, self.calls = result, 0

    def read(self, n):
        self.calls += 1
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


def test_errors_of_read_propagate_and_end_the_iterator():
    err = OSError("disk on fire")
    f = Failing(err)
    it = iterparse(f)
    with pytest.raises(OSError) as excinfo:
        next(it)
    assert excinfo.value is err and f.calls == 1
    assert list(it) == [] and f.calls == 1


@pytest.mark.parametrize("result", ["(a)", 5, None, [40, 41]])
def test_read_must_return_bytes_like(result):
    with pytest.raises(TypeError, match="read\\(\\) must return a bytes-like object"):
        next(iterparse(Failing(result)))


def test_read_may_return_any_bytes_like_object():
    pieces = iter([bytearray(b"(a "), memoryview(b"b) (c"), b")", b""])

    class Pieces:
        def read(self, n):
            return next(pieces)

    assert [repr(f) for f in iterparse(Pieces())] == ["(a b)", "(c)"]


@pytest.mark.parametrize(
    "kwargs, error, message",
    [({"chunk_size": 0}, ValueError, "chunk_size must be positive"),
     ({"chunk_size": -(2**80)}, ValueError, "chunk_size must be positive"),
     ({"chunk_size": 1.5}, TypeError, "iterparse() argument 'chunk_size' must be int, not float"),
     ({"syntax": "json"}, ValueError, "unknown syntax: 'json'"),
     ({"syntax": b"lisp"}, TypeError, "iterparse() argument 'syntax' must be str, not bytes")],
)
def test_arguments_are_checked_before_anything_is_read(kwargs, error, message):
    f = Failing(AssertionError("read too early"))
    with pytest.raises(error, match=re.escape(message)):
        iterparse(f, **kwargs)
    it = iterparse(f, chunk_size=2**80)  # any positive int is passed on to read()
    assert f.calls == 0
    with pytest.raises(AssertionError):
        next(it)


@pytest.mark.parametrize("source", [5, None, 1.5, object(), "\ud800", [256], iter([40, 41])])
def test_unusable_source(source):
    with pytest.raises(TypeError, match="expected str, bytes, bytearray, or a binary file object"):
        iterparse(source)


def test_read_that_calls_back_into_the_iterator_is_refused():
    class Reentrant:
        def read(self, n):
            with pytest.raises(RuntimeError, match="iterparse iterator is already running"):
                next(self.it)
            return b""

    f = Reentrant()
    f.it = iterparse(f)
    assert list(f.it) == []


def test_an_iterator_in_a_reference_cycle_is_collected():
    class File(io.BytesIO):
        pass

    f = File(b"(a) (b)")
    f.it = iterparse(f)
    next(f.it)
    ref = weakref.ref(f)
    del f
    gc.collect()
    assert ref() is None


def test_forms_read_back_as_parse_reads_them():
    text = b"(a (b) c) x (d\te)\n"
    forms = list(iterparse(Reader(text, most=3)))
    assert forms == [parse("(a (b) c)"), parse("x"), parse("(d e)")]
    with pytest.raises(ParseError, match="multiple top-level forms"):
        parse(text)
