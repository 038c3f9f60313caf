"""Asking the tree: iter(head), find/findall and tolist, checked against plain Python walks."""

import pickle
import re

import pytest

from _sexp import SExp, parse
from conftest import unknown_keyword

STALE = "stale node reference"


def raises(exc, msg):
    return pytest.raises(exc, match=f"^{re.escape(msg)}$")


def texts(nodes):
    return [repr(n) for n in nodes]


def built(items):
    """A tree built from data, for texts that parsing cannot give (spaces, empty atoms)."""
    root = SExp()
    root.extend(items)
    return root


LONG = "h" * 16  # one byte past what an atom holds inline
SOURCE = "(top (a 1 (b 2)) (b (a (b 3))) ((b) 4) () (a) x)"


@pytest.mark.parametrize(
    "make, where, head, expected",
    [
        (lambda: parse(SOURCE), lambda r: r, None,
         [SOURCE, "top", "(a 1 (b 2))", "a", "1", "(b 2)", "b", "2", "(b (a (b 3)))", "b",
          "(a (b 3))", "a", "(b 3)", "b", "3", "((b) 4)", "(b)", "b", "4", "()", "(a)", "a", "x"]),
        (lambda: parse(SOURCE), lambda r: r, "b", ["(b 2)", "(b (a (b 3)))", "(b 3)", "(b)"]),
        (lambda: parse(SOURCE), lambda r: r, "a", ["(a 1 (b 2))", "(a (b 3))", "(a)"]),
        # Only the subtree: the walk never goes on to the receiver's siblings.
        (lambda: parse(SOURCE), lambda r: r[2], "b", ["(b (a (b 3)))", "(b 3)"]),
        (lambda: parse(SOURCE), lambda r: r[1], None, ["(a 1 (b 2))", "a", "1", "(b 2)", "b", "2"]),
        (lambda: parse(SOURCE), lambda r: r[-1], None, ["x"]),
        (lambda: parse(SOURCE), lambda r: r[-1], "x", []),
        (lambda: parse(SOURCE), lambda r: r, "top", [SOURCE]),
        (lambda: parse(SOURCE), lambda r: r, "tops", []),
        (lambda: parse(""), lambda r: r, None, [""]),
        # Heads compare as whole byte strings, inline and long alike.
        (lambda: built([[LONG, "1"], [LONG[:-1], "2"], [LONG + "h", "3"], [LONG]]), lambda r: r,
         LONG, [f"({LONG} 1)", f"({LONG})"]),
        (lambda: built([[LONG[:-1], "1"], [LONG, "2"], [LONG[:-2], "3"]]), lambda r: r, LONG[:-1],
         [f"({LONG[:-1]} 1)"]),
        (lambda: built([["", "e"], ["\0", "z"], ["x y", "s"], "", ["é", "u"]]), lambda r: r, "",
         ["( e)"]),
        (lambda: built([["", "e"], ["\0", "z"], ["x y", "s"]]), lambda r: r, "x y", ["(x y s)"]),
        (lambda: built([["é", "u"], ["e\u0301", "v"]]), lambda r: r, "é", ["(é u)"]),
    ],
)
def test_iter_in_text_order(make, where, head, expected):
    node = where(make())
    assert texts(node.iter(head)) == texts(node.iter(head=head)) == expected
    if head is None:
        assert texts(node.iter()) == expected


def test_iter_yields_an_atoms_children_as_len_and_for_see_them():
    root = parse("(a (h x) b)")
    root[0].append(root[1])  # the list (h x) now hangs under the atom a, which prints without it
    assert repr(root) == "(a b)" and len(root[0]) == 1
    assert texts(root.iter()) == ["(a b)", "a", "(h x)", "h", "x", "b"]
    assert texts(root.iter("h")) == ["(h x)"] and root.tolist() == ["a", "b"]
    assert texts(root[0].iter()) == ["a", "(h x)", "h", "x"]


def test_iter_stale_after_any_removal_exhausted_for_ever():
    root = parse("(r (a x) (a y) (b z))")
    it = root.iter("a")
    assert repr(next(it)) == "(a x)"
    root[3][1].remove()  # elsewhere in the tree
    for _ in range(2):
        with raises(RuntimeError, STALE):
            next(it)
    done = root.iter("b")
    assert texts(done) == ["(b)"]
    root[1].remove()
    with pytest.raises(StopIteration):
        next(done)
    assert texts(root.iter("a")) == ["(a y)"]


@pytest.mark.parametrize(
    "edit",
    [
        lambda r, at: r.append(r.new_atom("new")),
        lambda r, at: r.prepend(at),            # the node yielded last moves behind the walk
        lambda r, at: r[-1].append(at),         # ... or into a part not walked yet
        lambda r, at: r.new_list().append(at),  # ... or out of the tree
        lambda r, at: r.extend([["a", ["a"]]]),
        lambda r, at: setattr(r.head, "value", "a"),
    ],
)
def test_iter_survives_edits_between_steps(edit):
    # What comes after an edit other than a removal is not promised; every step must still
    # give a live node, and the walk must end.
    for head in (None, "a"):
        root = parse("(r (a 1) (a (a 2) 3) (b 4))")
        seen = 0
        for node in root.iter(head):
            node.tolist()
            if seen < 3:
                try:
                    edit(root, node)
                except ValueError:  # a refused attach: the root, or under itself
                    pass
            seen += 1
            assert seen < 100
        assert seen > 0


# Trees reached in different ways: a parse lays nodes out in text order, and edits (or a copy
# of a part) may keep or break that layout; searches must give the same answers either way.
@pytest.mark.parametrize(
    "make",
    [
        lambda: parse(SOURCE),
        lambda: (r := parse(SOURCE), r.append(r[1]), r)[2],
        lambda: (r := parse(SOURCE), r[2].prepend(r.new_atom("b")), r)[2],
        lambda: (r := parse(SOURCE), r.new_list(), r)[2],  # a detached node, not in the tree
        lambda: (r := parse(SOURCE), r[3].remove(), r)[2],
        lambda: (r := parse(SOURCE), setattr(r[1][0], "value", "b"), r)[2],
        lambda: (r := parse(SOURCE), r.extend([["b", ["a"]], "z"]), r)[2],  # at the very end
        lambda: (r := parse(SOURCE), r[1].extend([["b", ["a"]]]), r)[2],  # in the middle
        lambda: (r := parse(SOURCE), r[-2].extend([["b"]]), r)[2],
        lambda: parse(SOURCE)[2].clone(),
        lambda: pickle.loads(pickle.dumps(parse(SOURCE)[2])),
        lambda: (r := parse(SOURCE), r[-1].append(r[1]), r)[2],  # a list under an atom
        lambda: (r := parse(SOURCE), r[-1].append(r[1]), r.clone())[2],
        lambda: built(pickle.loads(pickle.dumps(parse(SOURCE))).tolist()),
    ],
)
def test_searches_agree_however_the_tree_was_made(make):
    root = make()

    def below(node):  # every node, each before its children, as len() and for see them
        found, stack = [], [node]
        while stack:
            found.append(stack.pop())
            stack.extend(reversed(list(found[-1])))
        return found

    def headed(node, head):
        return not node.is_atom and len(node) > 0 and node[0].is_atom and node[0].value == head

    for head in ("a", "b", "top", "x"):
        assert texts(root.iter(head)) == texts(n for n in below(root) if headed(n, head))
    assert texts(root.iter()) == texts(below(root))
    for node in root.iter():
        assert texts(node.iter("b")) == texts(n for n in below(node) if headed(n, "b"))


def test_iter_arguments():
    root = parse("(a (b))")
    with raises(TypeError, "SExp.iter() argument 'head' must be str or None, not bytes"):
        root.iter(b"b")
    with raises(TypeError, "SExp.iter() takes at most 1 argument (2 given)"):
        root.iter("a", "b")
    with raises(TypeError, unknown_keyword("SExp.iter", "tag")):
        root.iter(tag="b")
    with pytest.raises(UnicodeEncodeError):
        root.iter("\ud800")
    old = root[1]
    root[0].remove()
    with raises(TypeError, "SExp.iter() argument 'head' must be str or None, not int"):
        old.iter(5)  # conversion before liveness


@pytest.mark.parametrize("ask", [lambda h: h.iter(), lambda h: h.iter("b"), lambda h: h.find("b"),
                                 lambda h: h.findall(None), lambda h: h.tolist()])
def test_asking_a_stale_handle(ask):
    root = parse("(a (b) c)")
    old = root[1]
    root[0].remove()
    with raises(RuntimeError, STALE):
        ask(old)
    assert texts(root.findall("b")) == ["(b)"]


BOARD = ("(kicad_pcb (version 2) (footprint R1 (at 1 2) (pad 1 smd (at -1 0)) (pad 2 smd (at 1 0)))"
         " (net 1 GND) (footprint C1 (at 5 5) (pad 1 thru (at 0 0) (drill 1)) (fp_text ref C1))"
         " (footprint (pad 9)) (pad 0))")


@pytest.mark.parametrize(
    "path, expected",
    [
        (("footprint",), ["(footprint R1 (at 1 2) (pad 1 smd (at -1 0)) (pad 2 smd (at 1 0)))",
                          "(footprint C1 (at 5 5) (pad 1 thru (at 0 0) (drill 1)) (fp_text ref C1))",
                          "(footprint (pad 9))"]),
        (("footprint", "pad"), ["(pad 1 smd (at -1 0))", "(pad 2 smd (at 1 0))",
                                "(pad 1 thru (at 0 0) (drill 1))", "(pad 9)"]),
        (("footprint", "pad", "at"), ["(at -1 0)", "(at 1 0)", "(at 0 0)"]),
        (("footprint", "at"), ["(at 1 2)", "(at 5 5)"]),
        (("pad",), ["(pad 0)"]),  # one level at a time: the pads of footprints are not children
        ((None, "at"), ["(at 1 2)", "(at 5 5)"]),
        (("footprint", None, None), ["(at -1 0)", "(at 1 0)", "(at 0 0)", "(drill 1)"]),
        ((None,), ["(version 2)", "(footprint R1 (at 1 2) (pad 1 smd (at -1 0)) (pad 2 smd (at 1 0)))",
                   "(net 1 GND)",
                   "(footprint C1 (at 5 5) (pad 1 thru (at 0 0) (drill 1)) (fp_text ref C1))",
                   "(footprint (pad 9))", "(pad 0)"]),
        (("net", "GND"), []),  # atoms are never picked, not even at the end of a path
        (("version", None), []),
        (("kicad_pcb",), []),  # the receiver's own head is not a step
        (("footprint", "pad", "at", "x"), []),
        (("FOOTPRINT",), []),
    ],
)
def test_find_and_findall_paths(path, expected):
    root = parse(BOARD)
    assert texts(root.findall(*path)) == expected
    first = root.find(*path)
    assert (repr(first) if first is not None else None) == (expected[0] if expected else None)


def test_find_from_inner_nodes_and_odd_heads():
    root = built([["a", ["b", "1"], [["b"], "2"], ["", "3"], [LONG, "4"]], ["b", "5"]])
    inner = root[0]
    assert texts(inner.findall("b")) == ["(b 1)"]
    assert texts(inner.findall(None)) == ["(b 1)", "((b) 2)", "( 3)", f"({LONG} 4)"]
    assert texts(inner.findall("")) == ["( 3)"] and texts(inner.findall(LONG)) == [f"({LONG} 4)"]
    assert texts(inner.findall(None, "b")) == ["(b)"]
    assert inner[1].findall("b") == [] and inner[1][0].find(None) is None
    atom = root[1][0]
    atom.append(root.new_list())
    atom[0].append(root.new_atom("k"))
    assert texts(atom.findall("k")) == ["(k)"]  # an atom's children are its children here


def test_find_arguments():
    root = parse("(a (b))")
    for name in ("find", "findall"):
        method = getattr(root, name)
        with raises(TypeError, f"SExp.{name}() takes at least 1 argument (0 given)"):
            method()
        with raises(TypeError, f"SExp.{name}() path step 2 must be str or None, not int"):
            method("b", 1)
        with pytest.raises(TypeError, match="keyword argument"):
            method(path="b")
        with pytest.raises(UnicodeEncodeError):
            method("b", "\udc80")


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda: parse("(a (b c) () (d (e)))"), ["a", ["b", "c"], [], ["d", ["e"]]]),
        (lambda: parse("atom"), "atom"),
        (lambda: parse(""), []),
        (lambda: parse("(a (b c) ())")[1][0], "b"),
        (lambda: parse("((((deep))))"), [[[["deep"]]]]),
        (lambda: parse("(é ü 漢字 \U0001f600 " + LONG + ")"), ["é", "ü", "漢字", "\U0001f600", LONG]),
        # Texts that differ only past the bytes they share must stay apart.
        (lambda: built(["a", "a\0", "a\0\0", "", "\0", "a" * 15, "a" * 15 + "\0", "a", "", "\0"]),
         ["a", "a\0", "a\0\0", "", "\0", "a" * 15, "a" * 15 + "\0", "a", "", "\0"]),
    ],
)
def test_tolist(make, expected):
    assert make().tolist() == expected


def test_tolist_of_many_texts_repeated():
    # Far more distinct texts than any cache of them holds, each met several times.
    words = [f"w{i % 5000}" for i in range(40_000)] + [f"long-word-{i:08}" for i in range(300)]
    root = parse("(" + " ".join(f"({w} {w}x)" for w in words) + ")")
    assert root.tolist() == [[w, w + "x"] for w in words]


def data_preorder(data):
    """Every node of data from tolist, in text order, without the module."""
    found, stack = [], [data]
    while stack:
        x = stack.pop()
        found.append(x)
        if type(x) is list:
            stack.extend(reversed(x))
    return found


def data_walk(data, head):
    """Every list headed by `head` in data from tolist, in text order."""
    return [x for x in data_preorder(data) if type(x) is list and x and x[0] == head]


def test_corpus_file_asks_and_rebuilds(corpus_file):
    root = parse(corpus_file.read_bytes())
    data = root.tolist()
    rebuilt = SExp()
    rebuilt.extend(data)
    assert rebuilt == root and rebuilt.tolist() == data
    assert pickle.loads(pickle.dumps(root)) == root
    head = data[1][0] if type(data[1]) is list and data[1] and type(data[1][0]) is str else data[0]
    assert [n.tolist() for n in root.iter(head)] == data_walk(data, head)
