import ctypes
import gc
import re

import pytest

from _sexp import SExp, SExpIter, parse

STALE = "stale node reference"
SAMPLE = "(a (b c) () (d))"
StrSub = type("StrSub", (str,), {})


class Index:
    def __init__(self, i):
        self.i = i

    def __index__(self):
        return self.i


def stale_pair(text=SAMPLE):
    """A root and a handle on its first child, made stale by removing the last child."""
    root = parse(text)
    handle = root[0]
    root[len(root) - 1].remove()
    return root, handle


def test_property_docstrings():
    docs = {
        "head": "First child node.  Raises `IndexError` if empty.",
        "tail": "Iterator over all children after the first.",
        "is_atom": "``True`` if this is an atom (leaf) node.",
        "value": "String content of this atom node. Raises `TypeError` if this is a list.",
        "parent": "Parent node, or ``None`` if this is the root.",
    }
    assert {name: getattr(SExp, name).__doc__ for name in docs} == docs


def test_reading_a_parsed_tree():
    root = parse("(a b c)")
    assert root.head.value == "a"
    assert [n.value for n in root.tail] == ["b", "c"] and type(root.tail) is SExpIter
    assert (root.is_atom, root.head.is_atom) == (False, True)
    assert root.parent is None and root.new_atom("x").parent is None
    assert root.head.parent == root
    assert root.head is not root.head and root.head == root.head


@pytest.mark.parametrize("source", ["()", "x", "", "(a)"])
def test_head_and_tail_of_short_nodes(source):
    node = parse(source)
    assert list(node.tail) == []
    if len(node) == 0:
        with pytest.raises(IndexError, match=re.escape("expression is empty")):
            node.head


def test_atom_with_a_child():
    root = parse("(a b)")
    atom = root[0]
    atom.append(root[1])
    assert (atom.is_atom, atom.value, repr(atom.head), len(atom), repr(atom.head.parent)) == (True, "a", "b", 1, "a")


@pytest.mark.parametrize("text", ["", "short", "exactly15bytes!", "sixteen-bytes-xx", "\u00e9" * 40, "x" * 4096])
def test_value_write_reads_back_and_keeps_handles_live(text):
    root = parse("(a b)")
    atom, other = root[0], root[1]
    atom.value = text
    assert (atom.value, root[0].value, other.value) == (text, text, "b")
    atom.value = "s"
    assert atom.value == "s"


def test_value_refusals_leave_the_node_unchanged():
    root = parse("(a (b c))")
    with pytest.raises(TypeError, match=re.escape("list node has no value")):
        root.value
    with pytest.raises(TypeError, match=re.escape("cannot set value on a list node")):
        root[1].value = "x"
    with pytest.raises(AttributeError, match=re.escape("property has no deleter")):
        del root[0].value
    with pytest.raises(UnicodeEncodeError):
        root[0].value = "\ud800"
    assert repr(root) == "(a (b c))"
    root[0].value = StrSub("sub")
    assert root[0].value == "sub"


@pytest.mark.parametrize("bad", [5, None, b"a"])
def test_value_type_error_comes_before_liveness(bad):
    for node in stale_pair():
        with pytest.raises(TypeError, match=re.escape("argument 'value' must be str")):
            node.value = bad


@pytest.mark.parametrize("name", ["head", "tail", "is_atom", "parent"])
def test_read_only_properties(name):
    node = parse("(a)")
    with pytest.raises(AttributeError):
        setattr(node, name, node)
    with pytest.raises(AttributeError):
        delattr(node, name)


@pytest.mark.parametrize(
    "use",
    [lambda n: n.head, lambda n: n.tail, lambda n: n.is_atom, lambda n: n.value, lambda n: n.parent,
     lambda n: setattr(n, "value", "x"), len, bool, iter, lambda n: n[0], lambda n: n[-1], lambda n: n["a"],
     lambda n: n[0:1], lambda n: n[1.5], lambda n: "a" in n, lambda n: n in n],
)
def test_stale_handle_refuses_every_read(use):
    root, stale = stale_pair("((a) b)")
    with pytest.raises(RuntimeError, match=re.escape(STALE)):
        use(stale)
    assert repr(root.head) == "(a)" and root[0].parent == root  # fresh handles are live


def test_a_deep_handle_keeps_the_tree_alive():
    leaf = parse("(a (b c))")[1][1]
    gc.collect()
    assert (repr(leaf.parent), repr(leaf.parent.parent)) == ("(b c)", "(a (b c))")


@pytest.mark.parametrize("source, length", [(SAMPLE, 4), ("x", 0), ("()", 0), ("", 0), ("(())", 1)])
def test_len_and_bool(source, length):
    node = parse(source)
    assert (len(node), bool(node)) == (length, length > 0)


@pytest.mark.parametrize(
    "key, rendered",
    [(0, "a"), (1, "(b c)"), (3, "(d)"), (-1, "(d)"), (-4, "a"), (True, "(b c)"), (False, "a"),
     (Index(2), "()"), (Index(-1), "(d)"), ("b", "(b c)"), ("d", "(d)"), ("a", "a"), (StrSub("b"), "(b c)")],
)
def test_subscript(key, rendered):
    assert repr(parse(SAMPLE)[key]) == rendered


@pytest.mark.parametrize("key", [4, -5, 2**63 - 1, -(2**63)])
def test_subscript_position_out_of_range(key):
    with pytest.raises(IndexError, match=re.escape("index out of range")):
        parse(SAMPLE)[key]


@pytest.mark.parametrize("key, error", [(2**63, OverflowError), (2**64, OverflowError),
                                        (-(2**63) - 1, OverflowError), ("\udc80", UnicodeEncodeError)])
def test_key_conversion_fails_before_liveness(key, error):
    for node in stale_pair():
        with pytest.raises(error):
            node[key]


@pytest.mark.parametrize(
    "source, key, rendered",
    [("((x 1) x (x 2))", "x", "(x 1)"), ("(x (x 1))", "x", "x"), ("((ab) a)", "a", "a"),
     ("(((x) y) (x z))", "x", "(x z)"), ("(\u00e9 e\u0301)", "e\u0301", "e\u0301")],
)
def test_string_key_takes_first_match_of_atom_or_list_head(source, key, rendered):
    assert repr(parse(source)[key]) == rendered


@pytest.mark.parametrize(
    "source, key",
    [(SAMPLE, "c"), (SAMPLE, "A"), (SAMPLE, "it's"), (SAMPLE, "\u00e9"), ("(((x)) ())", "x"), ("(ab)", "a"),
     ("()", ""), ("(" + "q" * 20 + ")", "q" * 19)],
)
def test_string_key_without_match(source, key):
    with pytest.raises(KeyError) as excinfo:
        parse(source)[key]
    assert excinfo.value.args == (f"no child '{key}'",)


def test_empty_string_key_matches_empty_atom():
    root = parse("(a)")
    root.append(root.new_atom(""))
    assert root[""] == root[1] and "" in root


@pytest.mark.parametrize(
    "key, rendered",
    [(slice(1, 3), ["(b c)", "()"]), (slice(None, None, -1), ["(d)", "()", "(b c)", "a"]),
     (slice(10, None), []), (slice(-2, None), ["()", "(d)"])],
)
def test_slice_gives_list_of_live_handles(key, rendered):
    result = parse(SAMPLE)[key]
    assert type(result) is list and [repr(n) for n in result] == rendered
    assert all(n.parent is not None for n in result)


@pytest.mark.parametrize(
    "key, error, message",
    [(1.0, TypeError, "list indices must be integers or slices, not float"),
     (None, TypeError, "list indices must be integers or slices, not NoneType"),
     ((0, 1), TypeError, "list indices must be integers or slices, not tuple"),
     (Index(4), IndexError, "list index out of range")],
)
def test_other_keys_behave_as_on_a_list(key, error, message):
    with pytest.raises(error, match=re.escape(message)):
        parse(SAMPLE)[key]


def test_membership():
    root = parse(SAMPLE)
    assert "a" in root and StrSub("a") in root
    for absent in ("b", "d", "c", "", "\ud800", 5, None, b"a", ["a"], root, root[1][0], parse("a")):
        assert absent not in root
    assert root[1] in root and root[0] in root
    twin = parse("((b) ((b)))")
    assert twin[1][0] == twin[0] and twin[1][0] not in twin  # the very node counts, not its shape
    root, stale = stale_pair()
    assert stale not in root


def test_sequence_item_slot_forwards_to_subscript():
    get_item = ctypes.pythonapi.PySequence_GetItem
    get_item.argtypes, get_item.restype = [ctypes.py_object, ctypes.c_ssize_t], ctypes.py_object
    root = parse(SAMPLE)
    assert [repr(get_item(root, i)) for i in (0, 1, -1)] == ["a", "(b c)", "(d)"]
    with pytest.raises(IndexError, match=re.escape("index out of range")):
        get_item(root, 4)


def test_reversed_is_refused():
    with pytest.raises(TypeError):
        reversed(parse(SAMPLE))
