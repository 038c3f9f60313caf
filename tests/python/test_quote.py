import re

import pytest
from hypothesis import given, settings, strategies as st

from _sexp import parse, quote, unquote

QUOTING = ["kicad", "smtlib", "wasm", "lisp"]
TEXT = '10k 1% (0603) "a\\b" \n\r\t\x01'


@pytest.mark.parametrize("syntax, quoted", [
    *[(s, r'"10k 1% (0603) \"a\\b\" \n\r\t' + '\x01"') for s in ("kicad", "lisp")],
    ("wasm", r'"10k 1% (0603) \"a\\b\" \n\r\t\01"'),
    ("smtlib", '"10k 1% (0603) ""a\\b"" \n\r\t\x01"'),
])
def test_quote_escapes_as_each_syntax_writes(syntax, quoted):
    assert quote(TEXT, syntax=syntax) == quoted
    assert unquote(quoted, syntax=syntax) == TEXT


# Text rich in what the syntaxes treat specially, and any other character but a lone surrogate,
# which UTF-8 cannot encode.
texts = st.text(st.sampled_from(list('"\\|;#() \n\r\t\x00\x7fa'))
                | st.characters(blacklist_categories=("Cs",)))


@settings(deadline=None)
@given(texts, st.sampled_from(QUOTING))
def test_quoted_text_reads_back_as_one_atom_standing_for_it(text, syntax):
    quoted = quote(text, syntax=syntax)
    for source in (quoted, f"(x\n{quoted})"):
        tree = parse(source, syntax=syntax)
        atom = tree if tree.is_atom else tree[1]
        assert atom.value == quoted
    assert unquote(quoted, syntax=syntax) == text


@pytest.mark.parametrize("call, exc, msg", [
    (lambda: quote("x", syntax="plain"), ValueError, "the plain syntax has no quoting"),
    (lambda: unquote(5, syntax="plain"), ValueError, "the plain syntax has no quoting"),
    (lambda: quote(5, syntax="nope"), ValueError, "unknown syntax: 'nope'"),
    (lambda: quote(b"x", syntax="kicad"), TypeError,
     "quote() argument 'text' must be str, not bytes"),
    (lambda: unquote("x"), TypeError, "unquote() missing required argument 'syntax' (pos 2)"),
    (lambda: unquote("x", "lisp"), TypeError,
     "unquote() takes exactly 1 positional argument (2 given)"),
    (lambda: unquote('a"b"', syntax="lisp"), ValueError,
     "atom mixes a quoted string with other text"),
])
def test_arguments_and_refusals(call, exc, msg):
    with pytest.raises(exc, match=f"^{re.escape(msg)}$"):
        call()
