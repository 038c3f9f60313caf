"""Who keeps a tree alive, and that nothing outlives its last handle.

Trees live in native memory, invisible to tracemalloc. In a plain build memory is read as the
resident set size of the process, with bounds that catch a leak per handle or a tree that is
never freed, not allocator noise. Under AddressSanitizer, whose allocator holds freed memory
back on purpose, LeakSanitizer judges instead, at exit: nothing may be left that nothing
points to.
"""

import gc
import os
import sys

import pytest

from _sexp import SExp, SExpIter, parse

PAGE = os.sysconf("SC_PAGE_SIZE")
MB = 1 << 20


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def sanitizer_loaded():
    with open("/proc/self/maps") as f:
        return any("libasan" in line or "clang_rt.asan" in line for line in f)


SANITIZED = sanitizer_loaded()


def assert_nothing_kept(before):
    """Nothing made since the resident size was `before` outlives its last reference."""
    if not SANITIZED:
        assert rss() - before < 4 * MB


def refcounts():
    return sys.getrefcount(SExp), sys.getrefcount(SExpIter)


def churn(root, rounds):
    """Makes and drops handles and iterators by every route that makes one."""
    other = parse("(x)")
    for _ in range(rounds):
        a = root[0]
        b = root["b"]
        c = root.head.parent
        it = iter(root)
        next(it)
        t = root.tail
        for _ in t:
            pass
        root[1:2]
        a == other[0]
        a in root
        del a, b, c, it, t


def test_a_million_handles_and_iterators_leave_nothing_behind():
    root = parse("(a (b c) d)")
    churn(root, 1000)  # warm up the interpreter's free lists
    gc.collect()
    before_refs, before_rss = refcounts(), rss()
    churn(root, 125_000)  # eight handles and two iterators a round
    gc.collect()
    assert refcounts() == before_refs
    # A leak of even one 32-byte object per round would show as 4 MB.
    assert_nothing_kept(before_rss)


def test_many_trees_made_and_dropped_leave_nothing_behind():
    text = "(a (b c) " + "long-atom-text-over-fifteen " * 4 + ")"
    for _ in range(2000):
        parse(text).clone()
    gc.collect()
    before_refs, before_rss = refcounts(), rss()
    for _ in range(50_000):
        root = parse(text)
        copy = root.clone()
        part = root[1].extract()
        fresh = SExp()
        fresh.append(fresh.new_atom("x" * 40))
        del root, copy, part, fresh
    gc.collect()
    assert refcounts() == before_refs
    # 50,000 trees of several allocations each: any tree kept would cost megabytes.
    assert_nothing_kept(before_rss)


BIG_ATOMS = 3_000_000  # about 6 MB of text; the tree itself takes over 100 MB
# The tree's slot array: a 40-byte record per node. It is mapped on its own, so freeing the
# tree gives all of it back to the system at once.
BIG_SLOTS = (BIG_ATOMS + 6) * 40


def big_tree():
    return parse("(" + "a " * BIG_ATOMS + "(leaf (deeper z)))")


def top_of(node):
    while node.parent is not None:
        node = node.parent
    return node


def whole(top):
    assert len(top) == BIG_ATOMS + 1
    assert repr(top).endswith("a a (leaf (deeper z)))")


def make_stale(root):
    h = root[-1][1]
    root[-2].remove()
    return h


def still_stale(h):
    with pytest.raises(RuntimeError, match="stale node reference"):
        h.parent


def loose(h):
    # A detached node cannot reach the rest of its tree; the memory check alone shows it.
    assert h.value == "loose" and h.parent is None
    h.append(h.new_atom("more"))
    assert repr(h) == "loose" and len(h) == 1


# What is kept when everything else is dropped, and how the tree is then shown to be
# whole through it alone. Each must keep the tree alive; dropping it must free the tree.
KEEPERS = {
    "root": (lambda root: root, whole),
    "last atom": (lambda root: root[-1][1][1], lambda h: whole(top_of(h))),
    "first atom": (lambda root: root[0], lambda h: whole(h.parent)),
    "iterator": (lambda root: iter(root[-1]), lambda it: whole(list(it)[-1].parent.parent)),
    "tail": (lambda root: root[-1].tail, lambda it: whole(top_of(next(it)))),
    "detached atom": (lambda root: root.new_atom("loose"), lambda h: loose(h)),
    "stale handle": (make_stale, still_stale),
}


@pytest.mark.parametrize("keep, check", KEEPERS.values(), ids=KEEPERS.keys())
def test_last_reference_frees_the_tree_whichever_it_is(keep, check):
    root = big_tree()
    kept = keep(root)
    built = rss()
    del root
    gc.collect()
    check(kept)
    alive = rss()
    del kept
    gc.collect()
    if not SANITIZED:
        # A quarter of the slot array is slack for everything else the process does meanwhile.
        assert built - alive < BIG_SLOTS // 4  # still alive through `kept` alone
        assert alive - rss() > BIG_SLOTS * 3 // 4


def test_a_leaf_keeps_a_deep_tree_alive_and_navigable():
    depth = 200_000
    leaf = parse("(" * depth + "leaf" + ")" * depth)
    while not leaf.is_atom:  # each step drops the handle above
        leaf = leaf.head
    gc.collect()
    steps, top = 0, leaf
    while top.parent is not None:
        top = top.parent
        steps += 1
    assert steps == depth
    assert leaf.value == "leaf" and repr(top) == "(" * depth + "leaf" + ")" * depth


def test_copies_outlive_their_source():
    source = parse("(a (b c) d)")
    whole, part, moved = source.clone(), source[1].clone(), source[2].extract()
    del source
    gc.collect()
    assert (repr(whole), repr(part), repr(moved)) == ("(a (b c) d)", "(b c)", "d")
    whole[1].append(whole.new_atom("e"))
    assert repr(whole) == "(a (b c e) d)" and repr(part) == "(b c)"
