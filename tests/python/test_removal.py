import re

import pytest
from hypothesis import given, settings, strategies as st

from _sexp import SExp, parse

STALE = "stale node reference"
OTHER_TREE = "node belongs to a different tree"


def raises(exc, msg):
    return pytest.raises(exc, match=f"^{re.escape(msg)}$")


def assert_stale(handle):
    for use in (lambda h: h.value, repr, len, lambda h: h.parent, lambda h: h.clone()):
        with raises(RuntimeError, STALE):
            use(handle)


@pytest.mark.parametrize("method, msg", [("remove", "cannot remove the root node"),
                                         ("extract", "cannot extract the root node")])
@pytest.mark.parametrize("source", ["(a (b c) d)", "atom", "", "()"])
def test_root_is_refused_even_after_removals(method, msg, source):
    root = parse(source)
    root.append(root.new_atom("x"))
    root.append(root.new_atom("y"))
    root[len(root) - 1].remove()  # root's own handle predates this removal
    kept, it, before = root[len(root) - 1], iter(root), repr(root)
    with raises(ValueError, msg):
        getattr(root, method)()
    assert repr(root) == before and kept.value == "x" and next(it).parent == root


@pytest.mark.parametrize("method", ["remove", "extract"])
def test_each_removal_makes_every_older_non_root_handle_stale(method):
    root = parse("(a (b c) d)")
    a, inner, b, d = root[0], root[1], root[1][0], root[2]
    detached = root.new_atom("z")
    it, tail, done = iter(root), root.tail, iter(root[0])
    other_tree = root.clone()
    copy_handle = other_tree[1]
    for h in (inner, b, detached):  # copying makes nothing stale
        h.clone()
    assert next(it).value == "a" and a.value == "a"
    getattr(inner, method)()
    assert repr(root) == "(a d)" and len(root) == 2
    for h in (a, inner, b, d, detached):
        assert_stale(h)
    for iterator in (it, tail, tail):
        with raises(RuntimeError, STALE):
            next(iterator)
    assert list(done) == []
    assert repr(copy_handle) == "(b c)" and repr(other_tree) == "(a (b c) d)"
    fresh, fresh_it = root[1], iter(root)
    # Failed calls make nothing stale.
    for call, exc, msg in [
        (root.remove, ValueError, "cannot remove the root node"),
        (root.extract, ValueError, "cannot extract the root node"),
        (inner.remove, RuntimeError, STALE),
        (inner.extract, RuntimeError, STALE),
    ]:
        with raises(exc, msg):
            call()
    assert fresh.value == "d" and next(fresh_it).value == "a"
    # The next removal makes the handles made in between stale in turn.
    root[0].remove()
    assert_stale(fresh)
    with raises(RuntimeError, STALE):
        next(fresh_it)
    assert repr(root) == "(d)" and repr(copy_handle) == "(b c)"


@pytest.mark.parametrize(
    "source, grown",
    [("", "(x)"), ("  \n\t", "(x)"), ("()", "(x)"), ("(a (b c) d)", "(a (b c) d x)"), ("atom", "atom")],
)
def test_root_clone_is_an_equal_independent_tree(source, grown):
    root = parse(source)
    copy = root.clone()
    assert repr(copy) == repr(root) and copy == root
    copy.append(copy.new_atom("x"))
    assert (repr(copy), repr(root)) == (grown, repr(parse(source)))
    copy[len(copy) - 1].remove()
    assert repr(copy) == repr(root)
    root.append(root.new_atom("y"))
    assert repr(copy) == repr(parse(source))


def test_root_clone_carries_detached_nodes_and_free_slots():
    root = parse("(a (b c) d e)")
    root[1].remove()  # frees three slots
    loose = root.new_list()
    loose.append(root.new_atom("in"))
    stray = root.new_atom("stray")
    copy = root.clone()
    # Fill the clone's free slot and then some; nothing already there may be overwritten.
    for i in range(6):
        copy.append(copy.new_atom(f"n{i}"))
    copy[0].remove()
    assert repr(copy) == "(d e n0 n1 n2 n3 n4 n5)"
    assert (repr(loose), stray.value, repr(root)) == ("(in)", "stray", "(a d e)")
    root.append(loose)
    root.append(root.new_atom("f"))
    assert repr(root) == "(a d e (in) f)"


@pytest.mark.parametrize("method", ["clone", "extract"])
@pytest.mark.parametrize(
    "source, index, expected, rest",
    [
        ("(a (b (c) ()) d)", 1, "(b (c) ())", "(a d)"),
        ("(a () d)", 1, "()", "(a d)"),
        ("(a (b) d)", 0, "a", "((b) d)"),
        ("(a " + "x" * 40 + ")", 1, "x" * 40, "(a)"),
    ],
)
def test_copy_of_a_non_root_node(method, source, index, expected, rest):
    root = parse(source)
    copy = getattr(root[index], method)()
    assert repr(copy) == expected and copy.parent is None and copy == parse(expected)
    assert repr(root) == (source if method == "clone" else rest)
    with raises(ValueError, OTHER_TREE):
        root.append(copy)
    # The copy is the root of its own tree, and the two trees go separate ways.
    with raises(ValueError, "cannot remove the root node"):
        copy.remove()
    copy.append(copy.new_atom("new"))
    grown = repr(copy)
    root.append(root.new_atom("other"))
    root[0].remove()
    assert repr(copy) == grown and len(copy) == len(parse(expected)) + 1


def test_copy_of_an_atom_leaves_its_children_behind():
    root = parse("(a b)")
    root[0].append(root[1])
    atom = root[0]
    assert (len(atom.clone()), repr(atom.clone())) == (0, "a")
    copy = atom.extract()
    assert (len(copy), copy.value, repr(root), len(root)) == (0, "a", "()", 0)


@pytest.mark.parametrize("method", ["remove", "extract", "clone"])
def test_detached_node_can_be_removed_or_copied(method):
    root = parse("(a)")
    node = root.new_list()
    node.append(root.new_atom("k"))
    result = getattr(node, method)()
    assert repr(root) == "(a)"
    assert method == "remove" or repr(result) == "(k)"
    if method != "clone":
        assert_stale(node)


def test_reused_slot_does_not_revive_old_handles():
    root = parse("(a (b c) d)")
    gone, kept = root[1][1], root[2]
    root[1].remove()
    fresh = [root.new_atom(t) for t in ("x", "y", "z")]  # reuse the freed slots
    for h in (gone, kept):
        assert_stale(h)
        for call in (lambda: root.append(h), lambda: root.insert_after(h, fresh[0]), h.remove):
            with raises(RuntimeError, STALE):
                call()
    assert gone not in root and kept not in root
    for n in fresh:
        root.append(n)
    assert repr(root) == "(a d x y z)" and [n.value for n in fresh] == ["x", "y", "z"]


DEPTH = 10**6


@pytest.mark.parametrize("method", ["remove", "extract", "clone"])
def test_deep_subtree(method):
    root = parse("(a " + "(" * DEPTH + "leaf" + ")" * DEPTH + " z)")
    result = getattr(root[1], method)()
    assert method == "clone" or repr(root) == "(a z)"
    if method != "remove":
        assert result == parse("(" * DEPTH + "leaf" + ")" * DEPTH)
        node = result.head.head.head
        assert len(node) == 1 and node.parent.parent.parent.parent is None


# Properties ------------------------------------------------------------------------------

atom_text = st.text(
    st.characters(blacklist_characters="\t\n\r ()", blacklist_categories=("Cs",)),
    min_size=1, max_size=20,
)
shapes = st.lists(
    st.recursive(atom_text, lambda kids: st.lists(kids, max_size=5), max_leaves=40), max_size=6
)


@settings(deadline=None)
@given(shapes)
def test_rendering_parses_back_and_clones_are_equal(shape):
    t, stack = SExp(), []
    stack.append((t, shape))
    while stack:
        node, children = stack.pop()
        for child in children:
            new = node.new_atom(child) if isinstance(child, str) else node.new_list()
            node.append(new)
            if not isinstance(child, str):
                stack.append((new, child))
    text = repr(t)
    assert parse(text) == t and repr(parse(text)) == text
    assert t.clone() == t and repr(t.clone()) == text
    for child in t:
        assert child.clone() == child and repr(child.clone()) == repr(child)


NODES = 8  # 0 is the root; every third is an atom, the rest lists, all detached at first
MOVES = st.tuples(st.sampled_from(["append", "prepend", "insert_after"]),
                  st.integers(0, NODES - 1), st.integers(0, NODES - 1), st.integers(-1, NODES - 1))


@settings(deadline=None)
@given(st.lists(MOVES, max_size=40))
def test_random_moves_match_a_list_model(moves):
    root = SExp()
    nodes = [root] + [root.new_atom(f"a{i}") if i % 3 == 0 else root.new_list() for i in range(1, NODES)]
    kids, parent = [[] for _ in range(NODES)], [None] * NODES

    def under(k, p):  # k is p or one of its ancestors
        while p is not None and p != k:
            p = parent[p]
        return p == k

    for op, p, k, a in moves:
        after = None if a < 0 else nodes[a]
        call = {
            "append": lambda: nodes[p].append(nodes[k]),
            "prepend": lambda: nodes[p].prepend(nodes[k]),
            "insert_after": lambda: nodes[p].insert_after(after, nodes[k]),
        }[op]
        refusal = (
            "cannot attach the root node" if k == 0
            else "cannot attach a node under itself or one of its descendants" if under(k, p)
            else "cannot insert a node after itself" if op == "insert_after" and a == k
            else "after is not a child of this node" if op == "insert_after" and a >= 0 and parent[a] != p
            else None
        )
        if refusal:
            with raises(ValueError, refusal):
                call()
        else:
            call()
            if parent[k] is not None:
                kids[parent[k]].remove(k)
            parent[k] = p
            at = len(kids[p]) if op == "append" else 0 if op == "prepend" or a < 0 else kids[p].index(a) + 1
            kids[p].insert(at, k)
        assert [len(n) for n in nodes] == [len(c) for c in kids]

    def render(i):
        return f"a{i}" if i % 3 == 0 and i else "(" + " ".join(render(j) for j in kids[i]) + ")"

    for i, n in enumerate(nodes):
        assert repr(n) == render(i) and all(nodes[j] in n for j in kids[i])
        assert (n.parent is None) == (parent[i] is None)
        assert parent[i] is None or n in n.parent


def test_remove_all_takes_overlapping_nodes_in_one_removal():
    root = parse("(a (segment 1) (b (segment 2) x) (segment 3) c)")
    detached, before = root.new_atom("z"), root[0]
    b = root["b"]
    # Found twice over, a node below another listed one, and one listed before its parent.
    root.remove_all([b["segment"], *root.findall("segment"), *root.iter("segment"), b, detached])
    assert repr(root) == "(a c)"
    assert_stale(before)
    root.remove_all(iter([]))
    assert root[0].value == "a"


SOURCE = "(a (b c) d e)"


def yields_then_removes(root):
    yield root[1]
    root[2].remove()  # the caller's code runs while the items are read, and stales the first
    yield root[0]


@pytest.mark.parametrize("nodes, exc, msg, after", [
    (lambda r: [r[1], 5], TypeError, "SExp.remove_all() items must be SExp, not int", SOURCE),
    (lambda r: [r[1], parse("(x)")], ValueError, OTHER_TREE, SOURCE),
    (lambda r: [r[1], r], ValueError, "cannot remove the root node", SOURCE),
    (yields_then_removes, RuntimeError, STALE, "(a (b c) e)"),
])
def test_remove_all_checks_every_node_before_removing_any(nodes, exc, msg, after):
    root = parse(SOURCE)
    with raises(exc, msg):
        root.remove_all(nodes(root))
    assert repr(root) == after and root[0].value == "a"
