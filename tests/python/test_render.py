import re

import pytest

from _sexp import SExp, parse

STALE = "stale node reference"


@pytest.mark.parametrize(
    "source, text",
    [("", ""), (" \t\n\r  \n", ""), ("atom", "atom"), ("()", "()"), ("((()))", "((()))"),
     ("\n\t ( a\t\t(b \r\n  c )\n ( \t) )  \r\n", "(a (b c) ())"), ("(a(b)(c)d)", "(a (b) (c) d)"),
     ('(say "hi there" \\n \x00)', '(say "hi there" \\n \x00)')],
)
def test_parsed_tree_renders_canonically(source, text):
    root = parse(source)
    assert (repr(root), str(root)) == (text, text)


def test_subtrees_render_alone():
    root = parse("(a (b c))")
    assert [repr(root[1]), repr(root[1][0]), repr(root[0])] == ["(b c)", "b", "a"]
    assert repr(SExp()) == "()"


def test_implicit_root_renders_empty_only_while_it_has_no_children():
    root = parse(" \n")
    x = root.new_atom("x")
    assert repr(x) == "x"  # a detached atom renders as its text
    root.append(x)
    assert repr(root) == "(x)"
    root[0].remove()
    assert repr(root) == ""
    root.append(root.new_list())
    assert repr(root) == "(())"


@pytest.mark.parametrize(
    "texts, rendered",
    [(["x y"], "(x y)"), (["", "b"], "( b)"), (["a)b", "(", "\n"], "(a)b ( \n)"),
     (['"q"', "\\", "\u00e9\U0001f600"], '("q" \\ \u00e9\U0001f600)')],
)
def test_atom_text_is_written_unchanged(texts, rendered):
    root = SExp()
    for text in texts:
        root.append(root.new_atom(text))
    assert (repr(root), str(root)) == (rendered, rendered)


def test_edited_atom_text_renders_and_may_not_read_back_the_same():
    root = SExp()
    root.append(root.new_atom("x y"))
    reread = parse(repr(root))
    assert len(reread) == 2 and [c.value for c in reread] == ["x", "y"]


def test_atom_with_children_renders_only_its_text():
    root = parse("(a b)")
    a = root[0]
    a.append(root.new_atom("z"))
    a.append(root.new_list())
    assert len(a) == 2
    assert (repr(a), repr(root)) == ("a", "(a b)")


def test_detached_list_and_its_subtree_render():
    root = parse("(a)")
    detached = root.new_list()
    assert repr(detached) == "()"
    detached.append(root.new_atom("q"))
    assert repr(detached) == "(q)"
    assert repr(root) == "(a)"


def test_stale_handles_refuse_to_render_but_the_root_still_renders():
    root = parse("(a (b c) d)")
    kept, removed = root[0], root[1]
    inner = removed[0]
    removed.remove()
    for handle in (kept, removed, inner):
        with pytest.raises(RuntimeError, match=re.escape(STALE)):
            repr(handle)
        with pytest.raises(RuntimeError, match=re.escape(STALE)):
            str(handle)
    assert repr(root) == "(a d)"
    assert repr(root[0]) == "a"


def test_wide_and_deep_trees_render():
    wide = "(" + " ".join(f"a{i}" for i in range(100_000)) + ")"
    assert repr(parse(wide)) == wide
    deep = "(" * 200_000 + "x" + ")" * 200_000
    assert repr(parse(deep)[0]) == deep[1:-1]
