import re

import pytest

from _sexp import SExp, parse

STALE = (RuntimeError, "stale node reference")
ROOT = (ValueError, "cannot attach the root node")
CYCLE = (ValueError, "cannot attach a node under itself or one of its descendants")
AFTER_SELF = (ValueError, "cannot insert a node after itself")
NOT_CHILD = (ValueError, "after is not a child of this node")

SOURCE = "(a (b (c d) e) f)"


def handles(root):
    """Every node below the root, in pre-order."""
    out, stack = [], list(reversed(list(root)))
    while stack:
        node = stack.pop()
        out.append(node)
        stack.extend(reversed(list(node)))
    return out


def refused(root, call, expected):
    exc, msg = expected
    before = repr(root)
    held = handles(root)
    shapes = [(len(h), h.is_atom) for h in held]
    with pytest.raises(exc, match=f"^{re.escape(msg)}$"):
        call()
    assert repr(root) == before
    # No handle went stale (each of these raises on a stale one), and no count changed.
    assert [(len(h), h.is_atom) for h in held] == shapes
    assert all(h.parent is not None for h in held)


def make_stale(root):
    """A handle on node b's first child list, made stale by a removal elsewhere."""
    old = root[1][1]
    root.append(root.new_atom("tmp"))
    root[3].remove()
    return old


# Each case: the call, and the refusal it meets first. Several break more than one
# rule, so they pin the order in which the refusals are tried.
CASES = {
    "stale child": (lambda r, s: r.append(s), STALE),
    "stale child prepended": (lambda r, s: r[1].prepend(s), STALE),
    "stale child that is also an ancestor": (lambda r, s: r[1][1][0].append(s), STALE),
    "stale child inserted after itself": (lambda r, s: r[1].insert_after(r[1][1], s), STALE),
    "root under itself": (lambda r, s: r.append(r), ROOT),
    "root under a child": (lambda r, s: r[1].prepend(r), ROOT),
    "root under a deep node": (lambda r, s: r[1][1][0].insert_after(None, r), ROOT),
    "root after itself": (lambda r, s: r.insert_after(r, r), ROOT),
    "root after a sibling": (lambda r, s: r[1].insert_after(r[1][0], r), ROOT),
    "root under a detached node": (lambda r, s: r.new_list().append(r), ROOT),
    "list under itself": (lambda r, s: r[1].append(r[1]), CYCLE),
    "atom under itself": (lambda r, s: r[0].append(r[0]), CYCLE),
    "under itself by prepend": (lambda r, s: r[1][1].prepend(r[1][1]), CYCLE),
    "under itself by insert_after": (lambda r, s: r[1].insert_after(None, r[1]), CYCLE),
    "under its child": (lambda r, s: r[1][0].append(r[1]), CYCLE),
    "under its grandchild": (lambda r, s: r[1][1][1].append(r[1]), CYCLE),
    "under a child, after itself": (lambda r, s: r[1][1].insert_after(r[1], r[1]), CYCLE),
    "under a child, after a non-child": (lambda r, s: r[1][1].insert_after(r[0], r[1]), CYCLE),
    "after itself": (lambda r, s: r.insert_after(r[0], r[0]), AFTER_SELF),
    "after itself, elsewhere": (lambda r, s: r.insert_after(r[1][1], r[1][1]), AFTER_SELF),
    "after itself, detached": (lambda r, s: (lambda n: r.insert_after(n, n))(r.new_atom("n")), AFTER_SELF),
    "after a grandchild": (lambda r, s: r.insert_after(r[1][0], r[0]), NOT_CHILD),
    "after the receiver": (lambda r, s: r[1].insert_after(r[1], r[0]), NOT_CHILD),
    "after the root": (lambda r, s: r.insert_after(r, r[0]), NOT_CHILD),
    "after the parent": (lambda r, s: r[1][1].insert_after(r[1], r[0]), NOT_CHILD),
    "after a detached node": (lambda r, s: r.insert_after(r.new_atom("z"), r[0]), NOT_CHILD),
    "after a node of another parent": (lambda r, s: r[1].insert_after(r[2], r[1][0]), NOT_CHILD),
}


@pytest.mark.parametrize("call, expected", CASES.values(), ids=CASES.keys())
def test_refusal_leaves_the_tree_unchanged(call, expected):
    root = parse(SOURCE)
    stale = make_stale(root)
    refused(root, lambda: call(root, stale), expected)
    # The tree is still sound: edits and a full rendering work afterwards.
    root[1].append(root[0])
    assert repr(root) == "((b (c d) e a) f)"


@pytest.mark.parametrize("depth", [3, 50, 5000])
def test_deep_ancestor_is_refused(depth):
    root = parse("(top " + "(x " * depth + "leaf" + ")" * depth + ")")
    top_list = root[1]
    deepest = top_list
    for _ in range(depth - 1):
        deepest = deepest[1]
    assert repr(deepest) == "(x leaf)"
    for ancestor in (top_list, top_list[1], deepest.parent):
        refused(root, lambda: deepest.append(ancestor), CYCLE)
        refused(root, lambda: deepest.insert_after(deepest[0], ancestor), CYCLE)
    # The other way round is an ordinary move.
    top_list.append(deepest)
    assert len(top_list) == 3 and deepest.parent == top_list


def test_cycle_among_detached_nodes_is_refused():
    t = SExp()
    outer, inner, leaf = t.new_list(), t.new_list(), t.new_atom("leaf")
    outer.append(inner)
    inner.append(leaf)
    for call in (lambda: inner.append(outer), lambda: leaf.append(outer), lambda: leaf.prepend(inner)):
        with pytest.raises(ValueError, match=re.escape(CYCLE[1])):
            call()
    assert (repr(outer), outer.parent, len(inner)) == ("((leaf))", None, 1)
    t.append(outer)
    assert repr(t) == "(((leaf)))"


@pytest.mark.parametrize(
    "call, expected",
    [
        # Descendants of the receiver, siblings and the receiver's own children may move.
        (lambda r: r.append(r[1][1][0]), "(a (b (d) e) f c)"),
        (lambda r: r[1].prepend(r[1][1][1]), "(a (d b (c) e) f)"),
        (lambda r: r.insert_after(r[2], r[1]), "(a f (b (c d) e))"),
        (lambda r: r[1].insert_after(r[1][2], r[1][0]), "(a ((c d) e b) f)"),
        (lambda r: r[1][1].insert_after(r[1][1][1], r[0]), "((b (c d a) e) f)"),
    ],
)
def test_legal_moves_are_not_refused(call, expected):
    root = parse(SOURCE)
    call(root)
    assert repr(root) == expected
