import re

import pytest

from _sexp import SExpIter, parse

STALE = "stale node reference"


def values(it):
    return [repr(n) for n in it]


@pytest.mark.parametrize("make", [iter, lambda n: n.tail], ids=["iter", "tail"])
def test_iterator_is_its_own_iterator(make):
    it = make(parse("(a b c)"))
    assert type(it) is SExpIter
    assert iter(it) is it
    next(it)
    assert iter(it) is it


def test_yields_children_in_order_as_live_handles():
    root = parse("(a (b c) () (d))")
    children = list(root)
    assert [repr(n) for n in children] == ["a", "(b c)", "()", "(d)"]
    assert all(n.parent == root for n in children)
    assert values(root.tail) == ["(b c)", "()", "(d)"]


@pytest.mark.parametrize("source", ["x", "()", ""])
def test_childless_node_starts_exhausted(source):
    it = iter(parse(source))
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_iterator_keeps_its_tree_alive():
    it = iter(parse("(a b)"))
    assert values(it) == ["a", "b"]


def test_exhausted_iterator_stays_exhausted_through_edits_and_removals():
    root = parse("(a b)")
    it = iter(root)
    assert values(it) == ["a", "b"]
    root.append(root.new_atom("c"))
    with pytest.raises(StopIteration):
        next(it)
    root[0].remove()
    with pytest.raises(StopIteration):
        next(it)


@pytest.mark.parametrize(
    "removal",
    [lambda r: r[2].remove(), lambda r: r[0].remove(), lambda r: r[1][0].extract(), lambda r: r.new_atom("z").remove()],
    ids=["later-child", "yielded-child", "extract-elsewhere", "detached-node"],
)
def test_any_removal_makes_an_active_iterator_stale_for_good(removal):
    root = parse("(a (b c) d)")
    it, tail = iter(root), root.tail
    assert repr(next(it)) == "a"
    removal(root)
    for _ in range(2):
        for stale in (it, tail):
            with pytest.raises(RuntimeError, match=re.escape(STALE)):
                next(stale)
    root.append(root.new_atom("e"))
    with pytest.raises(RuntimeError, match=re.escape(STALE)):
        next(it)
    assert values(iter(root))[-1] == "e"


def test_prepended_node_is_not_yielded_and_appended_node_is():
    root = parse("(a b)")
    it, tail = iter(root), root.tail
    assert repr(next(it)) == "a"
    root.prepend(root.new_atom("p"))
    root.append(root.new_atom("z"))
    assert values(it) == ["b", "z"]
    assert values(tail) == ["b", "z"]
    assert repr(root) == "(p a b z)"


def test_insertion_after_yielded_child_is_skipped_but_later_insertion_is_seen():
    root = parse("(a b c)")
    it = iter(root)
    first = next(it)
    root.insert_after(first, root.new_atom("skipped"))
    root.insert_after(root[2], root.new_atom("seen"))
    assert values(it) == ["b", "seen", "c"]


def test_moved_pending_node_is_still_yielded_along_its_new_chain():
    root = parse("((a b c) (x y))")
    source, target = root[0], root[1]
    it = iter(source)
    assert repr(next(it)) == "a"
    target.insert_after(target[0], source[1])
    assert values(it) == ["b", "y"]
    assert repr(root) == "((a c) (x b y))"


def test_moving_the_yielded_node_does_not_disturb_the_walk():
    root = parse("((a b c) (x))")
    it = iter(root[0])
    moved = next(it)
    root[1].append(moved)
    assert values(it) == ["b", "c"]
