"""copy.copy, copy.deepcopy and pickle of handles, and the reconstructor pickle calls."""

import copy
import pickle
import re

import pytest

import _sexp
from _sexp import SExp, parse

STALE = "stale node reference"
BAD_DATA = "not the pickled form of an SExp"


def raises(exc, msg):
    return pytest.raises(exc, match=f"^{re.escape(msg)}$")


def shape(node):
    """Everything a copy keeps, flat in pre-order: kind, text and child count of every node,
    an atom's children included."""
    out, stack = [], [node]
    while stack:
        n = stack.pop()
        out.append((n.is_atom, n.value if n.is_atom else None, len(n)))
        stack.extend(reversed(list(n)))
    return out


def built(items):
    root = SExp()
    root.extend(items)
    return root


def with_atom_children():
    root = parse("(a b (c d))")
    root[0].append(root[2])  # (c d) under the atom a: not printed, but kept by copies
    root[0][0][0].append(root.new_atom("deeper"))
    return root


def deep(depth):
    root = SExp()
    items = ["x"]
    for _ in range(depth):
        items = [items]
    root.extend(items)
    return root


TREES = {
    "plain": lambda: parse("(kicad_pcb (net 1 GND) (pad 1 smd (at -1.5 0)))"),
    "odd texts": lambda: built(["x y", "(", ")", '"q"', "", "\0", "é" * 9, "漢" * 6, "z" * 70, ["", []]]),
    "empty implicit root": lambda: parse(" \n"),
    "implicit root grown": lambda: (r := parse(""), r.append(r.new_atom("x")), r)[2],
    "atom root": lambda: parse("lonely"),
    "atom children": with_atom_children,
    "deep": lambda: deep(100_000),
    "edited": lambda: (r := parse("(a (b c) d)"), r[1].remove(), r.append(r.new_list()), r)[3],
}


@pytest.mark.parametrize("name", TREES)
@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip_keeps_what_a_clone_keeps(name, protocol):
    if name == "deep" and protocol < 2:
        pytest.skip("the same bytes, only slower")
    root = TREES[name]()
    back = pickle.loads(pickle.dumps(root, protocol))
    clone = root.clone()
    assert type(back) is SExp and back.parent is None
    assert repr(back) == repr(root) == repr(clone)
    assert shape(back) == shape(root) == shape(clone)
    back.append(back.new_atom("more"))  # an independent tree, open to edits
    assert repr(root) == repr(clone) and shape(root) == shape(clone)
    assert len(back) == len(clone) + 1 and back[-1].value == "more"


def test_pickle_of_a_subtree_is_that_subtree_alone():
    root = parse("(a (b (c d)) e)")
    inner = root[1]
    back = pickle.loads(pickle.dumps(inner))
    assert repr(back) == "(b (c d))" and back.parent is None
    assert back.tolist() == ["b", ["c", "d"]]
    both = pickle.loads(pickle.dumps([root[1][1], root[1][1], root[0]]))
    assert [repr(n) for n in both] == ["(c d)", "(c d)", "a"]
    # Each handle makes its own tree, as clone() would: editing one leaves the others.
    both[0].append(both[0].new_atom("x"))
    assert repr(both[1]) == "(c d)"
    with raises(ValueError, "node belongs to a different tree"):
        both[0].append(both[1][0])


def test_copy_is_a_new_handle_on_the_same_node():
    root = parse("(a b)")
    node = root[1]
    same = copy.copy(node)
    assert same is not node and same == node and same.parent == root
    same.value = "z"
    assert repr(root) == "(a z)"


def test_deepcopy_is_a_clone():
    root = with_atom_children()
    holder = {"tree": root, "again": root, "leaf": root[1]}
    copied = copy.deepcopy(holder)
    assert copied["tree"] is copied["again"]  # one copy per handle object, as deepcopy does
    assert shape(copied["tree"]) == shape(root) and repr(copied["leaf"]) == "b"
    copied["tree"].append(copied["tree"].new_atom("x"))
    assert repr(root) == "(a b)"


def test_copy_and_pickle_refuse_a_stale_handle():
    root = parse("(a b c)")
    old = root[0]
    root[2].remove()
    for use in (copy.copy, copy.deepcopy, pickle.dumps):
        with raises(RuntimeError, STALE):
            use(old)
    assert repr(pickle.loads(pickle.dumps(root))) == "(a b)"


def test_reduce_names_the_private_reconstructor():
    rebuild, (data,) = parse("(a)").__reduce__()
    assert rebuild is _sexp._reconstruct and type(data) is bytes
    assert "_reconstruct" not in _sexp.__all__
    assert repr(rebuild(data)) == "(a)"


@pytest.mark.parametrize(
    "data, text",
    [
        (b"\x01\x00\x01", "()"),
        (b"\x01\x00\x04a", "a"),
        (b"\x01\x01\x01", ""),
        (b"\x01\x00\x09\x04a\x01", "(a ())"),
        (b"\x01\x00\x81\x00", "()"),  # a varint may take more bytes than it needs
    ],
)
def test_reconstruct_of_handmade_data(data, text):
    assert repr(_sexp._reconstruct(data)) == text


@pytest.mark.parametrize(
    "data",
    [
        b"",
        b"\x01",
        b"\x01\x00",
        b"\x02\x00\x01",              # another version
        b"\x01\x02\x01",              # an unknown flag
        b"\x01\x01\x04a",             # an implicit root that is an atom
        b"\x01\x00\x03",              # no such kind
        b"\x01\x00\x05",              # a list whose child is missing
        b"\x01\x00\x09\x04a",         # two children promised, one given
        b"\x01\x00\x08a",             # a text longer than what is left
        b"\x01\x00\x06\x00a",         # an atom promising children, but none
        b"\x01\x00\x06\x01a",         # ... one, then missing
        b"\x01\x00\x80",              # a varint cut short
        b"\x01\x00" + b"\xff" * 10 + b"\x01",  # a varint past 64 bits
        b"\x01\x00\x04a\x04b",        # bytes left over
        b"\x01\x00\x08\xff\xfe",      # text that is not UTF-8
        b"\x01\x00\x0c\xed\xa0\x80",  # an encoded surrogate
        b"\x01\x00\xfd\xff\xff\xff\xff\xff\xff\xff\x7f",  # a huge child count
    ],
)
def test_reconstruct_refuses_what_it_did_not_write(data):
    with raises(ValueError, BAD_DATA):
        _sexp._reconstruct(data)


def test_reconstruct_arguments():
    with raises(TypeError, "_reconstruct() argument 'data' must be bytes, not bytearray"):
        _sexp._reconstruct(bytearray(b"\x01\x00\x01"))
    with pytest.raises(TypeError):
        _sexp._reconstruct()
