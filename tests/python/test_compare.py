import operator
import re

import pytest

from _sexp import SExp, parse

STALE = "stale node reference"
LONG = "p" * 40


def check(left, right, equal):
    assert (left == right) is equal and (right == left) is equal
    assert (left != right) is (not equal) and (right != left) is (not equal)


DEEP = "(" * 50_000 + "{}" + ")" * 50_000


@pytest.mark.parametrize(
    "left, right, equal",
    [("(a b)", "(a b)", True), ("(a b)", " ( a\tb ) ", True), ("", "()", True), ("", " \n", True), ("x", "x", True),
     (f"({LONG} (q {LONG}))", f"({LONG}\n(q {LONG}))", True), (DEEP.format(""), DEEP.format(""), True),
     ("(a b)", "(b a)", False), ("(a b)", "(a b c)", False), ("a", "(a)", False), ("((a))", "(a)", False),
     ("(a (b))", "(a (c))", False), ("(a (b) c)", "(a b c)", False), ("ab", "a", False),
     ("\u00e9", "e\u0301", False), (LONG + "1", LONG + "2", False), (DEEP.format("x"), DEEP.format("y"), False),
     ("((a) (b) (c))", "((a) (b) (d))", False), ("((z) (b) (c))", "((a) (b) (c))", False)],
)
def test_structural_equality(left, right, equal):
    check(parse(left), parse(right), equal)


def test_position_and_tree_do_not_matter():
    root = parse("(a (b c) (a a))")
    check(root[1], parse("(b c)"), True)
    check(root[2][0], root[2][1], True)
    check(root[0], root[2][0], True)
    check(root[1], root[1], True)
    check(root, root, True)
    check(root.clone(), root, True)


def test_empty_atom_is_not_an_empty_list():
    tree = SExp()
    check(tree.new_atom(""), SExp(), False)
    check(tree.new_atom(""), tree.new_atom(""), True)


def test_children_of_atoms_are_ignored():
    root = parse("(a b)")
    root[0].append(root[1])
    check(root[0], parse("a"), True)
    check(root, parse("(a)"), True)


@pytest.mark.parametrize("other", ["a", None, 1, ["a"], b"a", object()])
def test_foreign_objects_compare_unequal_without_error(other):
    root = parse("(a b)")
    stale = root[0]
    root[1].remove()
    check(parse("a"), other, False)
    check(stale, other, False)


def test_other_operand_is_never_asked():
    class ClaimsEquality:
        def __eq__(self, other):
            return True

        def __ne__(self, other):
            return False

    x = parse("a")
    assert (x == ClaimsEquality(), x != ClaimsEquality()) == (False, True)
    assert (ClaimsEquality() == x, ClaimsEquality() != x) == (True, False)


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", ["self", 1])
def test_ordering_is_refused(op, other):
    x = parse("(a)")
    with pytest.raises(TypeError, match="not supported between instances"):
        op(x, x if other == "self" else other)


def test_hash_is_refused():
    x = parse("(a)")
    for use in (hash, lambda n: {n}, lambda n: {n: 1}):
        with pytest.raises(TypeError, match="unhashable type"):
            use(x)


@pytest.mark.parametrize("op", [operator.eq, operator.ne])
def test_stale_handle_on_either_side_raises(op):
    root = parse("(a b c)")
    early_root, stale = root, root[0]
    root[2].remove()
    other_tree = parse("a")
    for left, right in [(stale, other_tree), (other_tree, stale), (stale, stale), (root[0], stale)]:
        with pytest.raises(RuntimeError, match=re.escape(STALE)):
            op(left, right)
    assert op(early_root, parse("(a b)")) is (op is operator.eq)
    assert op(root[0], other_tree) is (op is operator.eq)
