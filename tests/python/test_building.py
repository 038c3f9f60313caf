import re

import pytest

from _sexp import SExp, parse


def raises(exc, msg):
    return pytest.raises(exc, match=f"^{re.escape(msg)}$")


def stale_handle():
    """A live root and a non-root handle made before a removal in its tree."""
    root = parse("(a b c)")
    old = root[0]
    root[2].remove()
    return root, old


@pytest.mark.parametrize(
    "args, kwargs, msg",
    [
        ((1,), {}, "SExp.__new__() takes no arguments (1 given)"),
        ((1, 2), {}, "SExp.__new__() takes no arguments (2 given)"),
        ((), {"x": 1}, "SExp.__new__() takes no keyword arguments"),
    ],
)
def test_constructor_refuses_arguments(args, kwargs, msg):
    with raises(TypeError, msg):
        SExp(*args, **kwargs)


def test_constructor_makes_an_empty_list_in_a_new_tree():
    t = SExp()
    assert (repr(t), len(t), t.is_atom, t.parent) == ("()", 0, False, None)
    other = SExp()
    with raises(ValueError, "node belongs to a different tree"):
        t.append(other.new_atom("a"))
    assert repr(t) == "()"


@pytest.mark.parametrize(
    "text",
    ["", "a", "x y", "(", "é", "a" * 15, "a" * 16, "ü" * 8, "b" * 4096, "\0\n"],
)
def test_new_atom_keeps_its_text_detached(text):
    root = parse("(p q)")
    atom = root.new_atom(text)
    assert atom.value == text and atom.is_atom
    assert atom.parent is None and len(atom) == 0
    assert repr(atom) == text and repr(root) == "(p q)" and len(root) == 2
    root.append(atom)
    assert root[2].value == text and root[2].parent == root


def test_new_nodes_from_any_receiver():
    root = parse("(a (b))")
    for receiver in (root, root[0], root[1], root.new_list(), root.new_atom("d")):
        lst = receiver.new_list()
        assert (repr(lst), len(lst), lst.is_atom, lst.parent) == ("()", 0, False, None)
        receiver.new_atom(value="k")
    assert repr(root) == "(a (b))"


def test_build_by_hand():
    t = SExp()
    lst = t.new_list()
    lst.append(t.new_atom("b"))
    lst.prepend(t.new_atom("c"))
    assert repr(lst) == "(c b)" and lst.parent is None
    t.append(t.new_atom("a"))
    t.append(lst)  # a detached node brings its subtree along
    t.insert_after(t[1], t.new_list())
    assert repr(t) == "(a (c b) ())"


@pytest.mark.parametrize(
    "op, expected",
    [
        (lambda r: r.append(r[2]), "(a b c)"),
        (lambda r: r.append(r.head), "(b c a)"),
        (lambda r: r.append(r[1]), "(a c b)"),
        (lambda r: r.prepend(r[0]), "(a b c)"),
        (lambda r: r.prepend(r[2]), "(c a b)"),
        (lambda r: r.insert_after(r[0], r[2]), "(a c b)"),
        (lambda r: r.insert_after(r[0], r[1]), "(a b c)"),
        (lambda r: r.insert_after(r[1], r[0]), "(b a c)"),
        (lambda r: r.insert_after(r[2], r[0]), "(b c a)"),
        (lambda r: r.insert_after(None, r[2]), "(c a b)"),
        (lambda r: r.insert_after(after=r[0], child=r[2]), "(a c b)"),
        (lambda r: r.insert_after(child=r[2], after=None), "(c a b)"),
        (lambda r: r.append(child=r[0]), "(b c a)"),
    ],
)
def test_moves_within_one_parent(op, expected):
    root = parse("(a b c)")
    assert op(root) is None
    assert repr(root) == expected and len(root) == 3
    assert [c.parent == root for c in root] == [True] * 3


@pytest.mark.parametrize(
    "op, expected",
    [
        (lambda r: r[0].append(r[1][0]), "((x y b) (c) ())"),
        (lambda r: r[0].prepend(r[1][0]), "((b x y) (c) ())"),
        (lambda r: r[0].insert_after(r[0][0], r[1][1]), "((x c y) (b) ())"),
        (lambda r: r[0].insert_after(r[0][1], r[1][0]), "((x y b) (c) ())"),
        (lambda r: r[2].insert_after(None, r[1][1]), "((x y) (b) (c))"),
        (lambda r: r.append(r[1][0]), "((x y) (c) () b)"),
        (lambda r: r[0][0].append(r[1][0]), "((x y) (c) ())"),
    ],
)
def test_moves_between_parents(op, expected):
    root = parse("((x y) (b c) ())")
    op(root)
    assert repr(root) == expected
    assert sum(map(len, root)) + len(root) + len(root[0][0]) == 7  # every node is still counted once


def test_atom_accepts_children():
    root = parse("(a b)")
    root[0].append(root[1])
    atom = root[0]
    assert repr(root) == "(a)" and len(root) == 1
    assert atom.is_atom and atom.value == "a" and len(atom) == 1
    assert atom.head.value == "b" and atom.head.parent == atom


def test_attaching_keeps_every_handle_live():
    root = parse("(a (b c) d)")
    handles = [root[0], root[1], root[1][0], root[2]]
    root.append(root[1][0])
    root[1].insert_after(None, root.new_atom("e"))
    assert [repr(h) for h in handles] == ["a", "(e c)", "b", "d"]


C = object()  # stands for a live handle of the receiver's tree
MISSING, AT_MOST = "missing required argument", "takes at most"


@pytest.mark.parametrize(
    "method, args, kwargs, msg",
    [
        ("append", (), {}, f"{MISSING} 'child' (pos 1)"),
        ("prepend", (), {}, f"{MISSING} 'child' (pos 1)"),
        ("append", (), {"x": C}, f"{MISSING} 'child' (pos 1)"),
        ("append", (C, C), {}, f"{AT_MOST} 1 argument (2 given)"),
        ("append", (5,), {"x": 1}, f"{AT_MOST} 1 argument (2 given)"),
        ("append", (), {"child": C, "x": 1}, f"{AT_MOST} 1 keyword argument (2 given)"),
        ("insert_after", (), {}, f"{MISSING} 'after' (pos 1)"),
        ("insert_after", (C,), {}, f"{MISSING} 'child' (pos 2)"),
        ("insert_after", (), {"child": C}, f"{MISSING} 'after' (pos 1)"),
        ("insert_after", (None,), {"after": None}, f"{MISSING} 'child' (pos 2)"),
        ("insert_after", (None, C, C), {}, f"{AT_MOST} 2 arguments (3 given)"),
        ("insert_after", (None, C), {"x": 1}, f"{AT_MOST} 2 arguments (3 given)"),
        ("insert_after", (5,), {"child": C, "after": None}, f"{AT_MOST} 2 arguments (3 given)"),
        ("insert_after", (None,), {"x": C}, f"{MISSING} 'child' (pos 2)"),
        ("new_atom", (), {}, f"{MISSING} 'value' (pos 1)"),
        ("new_atom", ("a", "b"), {}, f"{AT_MOST} 1 argument (2 given)"),
        ("new_atom", (), {"text": "a"}, f"{MISSING} 'value' (pos 1)"),
        ("append", (C,), {"child": C}, f"{AT_MOST} 1 argument (2 given)"),
        ("new_list", (1,), {}, "takes no arguments (1 given)"),
        ("new_list", (), {"x": 1}, "takes no keyword arguments"),
        ("remove", (1,), {}, "takes no arguments (1 given)"),
        ("clone", (1, 2), {}, "takes no arguments (2 given)"),
        ("extract", (), {"x": 1}, "takes no keyword arguments"),
        ("append", (5,), {}, "argument 'child' must be SExp, not int"),
        ("prepend", (None,), {}, "argument 'child' must be SExp, not None"),
        ("append", (), {"child": "a"}, "argument 'child' must be SExp, not str"),
        ("insert_after", (5, C), {}, "argument 'after' must be SExp, not int"),
        ("insert_after", (5, 6), {}, "argument 'after' must be SExp, not int"),
        ("insert_after", (), {"child": 6, "after": []}, "argument 'after' must be SExp, not list"),
        ("insert_after", (None, None), {}, "argument 'child' must be SExp, not None"),
        ("insert_after", (C, 6), {}, "argument 'child' must be SExp, not int"),
        ("new_atom", (1,), {}, "argument 'value' must be str, not int"),
        ("new_atom", (), {"value": b"a"}, "argument 'value' must be str, not bytes"),
    ],
)
def test_binding_and_conversion_errors(method, args, kwargs, msg):
    # Binding and conversion come before everything else, even on a stale receiver,
    # and a foreign handle is not looked at before them.
    for receiver, handle in [(parse("(a b)"),) * 2, stale_handle()[::-1], (SExp(), parse("x"))]:
        fill = lambda v: handle if v is C else v
        call = getattr(receiver, method)
        with raises(TypeError, f"SExp.{method}() {msg}"):
            call(*map(fill, args), **{k: fill(v) for k, v in kwargs.items()})


def test_text_conversion():
    class Text(str):
        pass

    assert SExp().new_atom(Text("t")).value == "t"
    _, old = stale_handle()
    for receiver in (SExp(), old):  # the interpreter's own error, before liveness
        with pytest.raises(UnicodeEncodeError):
            receiver.new_atom("\ud800")


def test_same_tree_checks_come_before_liveness():
    root, old = stale_handle()
    foreign = parse("(x y)")
    for call in (
        lambda: old.append(foreign[0]),
        lambda: old.prepend(foreign),
        lambda: old.insert_after(None, foreign[1]),
        lambda: old.insert_after(foreign[0], root[0]),
        lambda: root.insert_after(foreign[0], old),
        lambda: root.insert_after(old, foreign[0]),
    ):
        with raises(ValueError, "node belongs to a different tree"):
            call()
    assert (repr(root), repr(foreign)) == ("(a b)", "(x y)")


def test_stale_receiver_or_after_is_refused():
    root, old = stale_handle()
    for call in (
        lambda: old.append(root[1]),
        lambda: old.prepend(root[1]),
        lambda: old.insert_after(None, root[1]),
        lambda: old.new_atom("z"),
        lambda: old.new_list(),
        # A stale `after` is reported before the refusals about the child.
        lambda: root.insert_after(old, root[1]),
        lambda: root.insert_after(old, root),
        lambda: root.insert_after(old, old),
    ):
        with raises(RuntimeError, "stale node reference"):
            call()
    assert repr(root) == "(a b)" and root[0].value == "a"
    # Only non-root handles go stale: root handles made long ago still build.
    root.append(root.new_atom("c"))
    assert repr(root) == "(a b c)"


DOCS = {
    "new_atom": ("($self, value)", "Allocate a new unattached atom node in this tree."),
    "new_list": ("($self)", "Allocate a new unattached empty list node in this tree."),
    "append": ("($self, child)", "Append ``child`` as the last child of this node."),
    "prepend": ("($self, child)", "Insert ``child`` as the first child of this node."),
    "insert_after": ("($self, after, child)",
                     "Insert ``child`` immediately after ``after``. Pass ``None`` to prepend."),
    "remove": ("($self)", "Remove this node and its entire subtree. Raises `ValueError` on the root."),
    "clone": ("($self)", "Deep-copy this subtree into a new independent `SExp`."),
    "extract": ("($self)",
                "Remove this subtree and return it as a new `SExp`. Raises `ValueError` on the root."),
}


@pytest.mark.parametrize("name", DOCS)
def test_method_docs_and_signatures(name):
    signature, doc = DOCS[name]
    method = getattr(SExp, name)
    assert (method.__text_signature__, method.__doc__) == (signature, doc)
    assert getattr(SExp(), name).__doc__ == doc


# ---- extend ------------------------------------------------------------------------------


class Reversed(list):
    """A list subclass that iterates its own way: extend must follow it."""

    def __iter__(self):
        return reversed(list(super().__iter__()))


class Text(str):
    pass


@pytest.mark.parametrize(
    "items, expected",
    [
        (["module", "R1", ["layer", "F.Cu"]], "(a module R1 (layer F.Cu))"),
        ([], "(a)"),
        ([[]], "(a ())"),
        ((["x", ("y", ["z"], ())], "w"), "(a (x (y (z) ())) w)"),
        ("bc", "(a b c)"),  # a str is an iterable of its characters
        ((w for w in ["g", "h"]), "(a g h)"),
        ({"k": 1}, "(a k)"),
        ([Text("t"), Reversed(["1", "2", Reversed(["3", "4"])])], "(a t ((4 3) 2 1))"),
        ([["x y", ""], "é" * 20, "\0"], "(a (x y ) " + "é" * 20 + " \0)"),
        ([[[[["deep"]]]]], "(a ((((deep)))))"),
    ],
)
def test_extend_appends_one_child_per_item(items, expected):
    root = parse("(a)")
    old = root.new_atom("kept")  # a handle made before: extend removes nothing
    assert root.extend(items) is None
    assert repr(root) == expected and old.value == "kept"
    assert all(c.parent == root for c in root)


def test_extend_after_existing_children_and_on_atoms_and_empty_roots():
    root = parse("(a (b) c)")
    root[1].extend(["x", ["y"]])
    root[2].extend(["k"])  # an atom takes children, as with append
    root.extend(items=("d",))
    assert repr(root) == "(a (b x (y)) c d)" and root[2][0].value == "k"
    empty = parse("")
    empty.extend([])
    assert repr(empty) == ""
    empty.extend(["x"])
    assert repr(empty) == "(x)"


def test_extend_deep_nesting_without_recursion():
    depth = 200_000
    items = ["leaf"]
    for _ in range(depth):
        items = [items]
    root = SExp()
    root.extend(items)
    assert repr(root) == "(" * (depth + 1) + "leaf" + ")" * (depth + 1)


def failing_generator():
    yield "a"
    yield ["b"]
    raise LookupError("from the iterable")


def cycle():
    items = ["a", ["b"]]
    items[1].append(items)
    return [items]


@pytest.mark.parametrize(
    "items, error, msg",
    [
        (["a", 1], TypeError, "SExp.extend() items must be str, list, tuple, or SExp, not int"),
        (["a", ["b", ("c", b"d")]], TypeError,
         "SExp.extend() items must be str, list, tuple, or SExp, not bytes"),
        (["a", [None]], TypeError, "SExp.extend() items must be str, list, tuple, or SExp, not NoneType"),
        ([["a"], {"b"}], TypeError, "SExp.extend() items must be str, list, tuple, or SExp, not set"),
        (5, TypeError, "'int' object is not iterable"),
        (["a", ["\ud800"]], UnicodeEncodeError, None),
        (failing_generator(), LookupError, "from the iterable"),
        (cycle(), ValueError, "SExp.extend() items contain themselves"),
        # The same through an iterator, which is read before the tree is touched.
        (iter(cycle()), ValueError, "SExp.extend() items contain themselves"),
        (iter(["a", ("b", 1.5)]), TypeError,
         "SExp.extend() items must be str, list, tuple, or SExp, not float"),
        (Reversed(["a", ["\udfff"]]), UnicodeEncodeError, None),
    ],
)
def test_extend_is_all_or_nothing(items, error, msg):
    root = parse("(r (x) y)")
    before, old = repr(root), root[1]
    with pytest.raises(error, match=None if msg is None else f"^{re.escape(msg)}$"):
        root[1].extend(items)
    # Unchanged, and no handle went stale: nothing was removed, not even a node made and freed.
    assert repr(root) == before and repr(old) == "(x)"
    old.extend(["z"])
    assert repr(root) == "(r (x z) y)"


def test_extend_arguments_and_liveness():
    root, old = stale_handle()
    with raises(TypeError, "SExp.extend() missing required argument 'items' (pos 1)"):
        root.extend()
    with raises(TypeError, "SExp.extend() takes at most 1 argument (2 given)"):
        root.extend([], [])
    with raises(TypeError, "SExp.extend() items must be str, list, tuple, or SExp, not int"):
        old.extend([1])  # the items are read before the receiver's liveness is checked
    with raises(RuntimeError, "stale node reference"):
        old.extend(["x"])
    assert repr(root) == "(a b)"
