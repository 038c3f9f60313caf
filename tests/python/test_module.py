import collections.abc
import importlib
import re
import sys
import weakref

import pytest

import _sexp
from _sexp import ParseError, SExp, SExpIter, parse

TPFLAGS_DISALLOW_INSTANTIATION = 1 << 7
TPFLAGS_IMMUTABLETYPE = 1 << 8
TPFLAGS_BASETYPE = 1 << 10
TPFLAGS_HAVE_GC = 1 << 14

SEXP_DOC = (
    "A single node in an S-expression tree.\n\n"
    "Every ``SExp`` is a handle into a shared, heap-allocated tree.  All handles that originate from\n"
    "the same `parse` call (or the same empty constructor) share the same tree. Mutations through one\n"
    "handle are immediately visible through any other.\n\n"
    "Nodes that have been removed via `remove` or `extract` become *stale*.  Any method call on a\n"
    "stale node raises `RuntimeError`."
)
SEXPITER_DOC = (
    "Lazy iterator over the direct children of an `SExp` node.\n\n"
    "Holds a reference to the shared tree and the id of the next sibling to yield, so no upfront\n"
    "allocation of child nodes is required."
)
PARSE_DOC = (
    "Parse an S-expression from a ``str``, ``bytes``, or ``bytearray``.\n\n"
    "``syntax`` names how the text is read: ``\"plain\"`` (whitespace and parentheses are\n"
    "all the syntax there is), or ``\"kicad\"``, ``\"smtlib\"``, ``\"wasm\"`` or ``\"lisp\"``,\n"
    "which add the quoted strings and comments those formats write. A quoted string is\n"
    "atom text, kept byte for byte with its quotes and escapes; comments are skipped and\n"
    "are not in the tree.\n\n"
    "With ``keep_layout``, the tree also keeps the text it was read from and where each\n"
    "node lies in it: `dumps` and `dump` then write it back exactly as it was, comments\n"
    "and all, and after edits change only what was edited.\n\n"
    "Raises:\n"
    "    ParseError: If the input is structurally malformed.\n"
    "    TypeError: If the argument is not ``str``, ``bytes``, or ``bytearray``.\n"
    "    ValueError: If ``syntax`` names no syntax."
)
SIGNATURES = {
    "parse": "(source, *, syntax='plain', keep_layout=False)",
    "iterparse": "(source, *, syntax='plain', chunk_size=1048576, keep_layout=False)",
    "dumps": "(node, *, indent=None)",
    "dump": "(node, file, *, indent=None)",
    "load": "(file, *, syntax='plain', keep_layout=False)",
    "loads": "(source, *, syntax='plain')",
    "quote": "(text, *, syntax)",
    "unquote": "(atom_text, *, syntax)",
    "error_position": "(source, *, syntax='plain')",
}
METHODS = ["new_atom", "new_list", "append", "prepend", "insert_after", "remove", "clone", "extract"]
PROPERTIES = ["head", "tail", "is_atom", "value", "parent"]


def test_module_attributes_and_all_in_order():
    assert _sexp.__doc__ == ""
    assert type(_sexp.__all__) is list
    assert _sexp.__all__ == ["SExp", "SExpIter", "ParseError", "parse", "iterparse", "dumps", "dump",
                             "load", "loads", "quote", "unquote", "error_position"]
    assert [n for n in vars(_sexp) if not n.startswith("_")] == _sexp.__all__
    # The one private attribute: what pickle calls to make a tree again.
    assert [n for n in vars(_sexp) if n[:1] == "_" and n[:2] != "__"] == ["_reconstruct"]
    assert _sexp.__version__ == "0.1.0" and "__version__" not in _sexp.__all__
    assert (_sexp._reconstruct.__module__, _sexp._reconstruct.__qualname__) == ("_sexp", "_reconstruct")
    for name, signature in SIGNATURES.items():
        fn = getattr(_sexp, name)
        assert (fn.__self__, fn.__module__, fn.__name__) == (_sexp, "_sexp", name)
        assert fn.__text_signature__ == signature


@pytest.mark.parametrize("cls, name", [(SExp, "SExp"), (SExpIter, "SExpIter")])
def test_class_shape(cls, name):
    assert (cls.__name__, cls.__qualname__, cls.__module__, cls.__bases__) == (name, name, "builtins", (object,))
    for flag in (TPFLAGS_BASETYPE, TPFLAGS_HAVE_GC, TPFLAGS_IMMUTABLETYPE):
        assert not cls.__flags__ & flag
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    cls.extra_attribute = 1  # class objects stay open to new attributes
    del cls.extra_attribute


def test_docstrings_and_text_signatures():
    assert (SExp.__doc__, SExp.__text_signature__) == (SEXP_DOC, "()")
    assert (SExpIter.__doc__, SExpIter.__text_signature__) == (SEXPITER_DOC, None)
    assert parse.__doc__ == PARSE_DOC


def test_member_tables_keep_their_order():
    members = list(vars(SExp))
    assert [n for n in members if n in METHODS] == METHODS
    assert [n for n in members if n in PROPERTIES] == PROPERTIES
    assert {"__len__", "__getitem__", "__contains__", "__iter__", "__repr__", "__eq__"} <= set(members)
    assert not {"__str__", "__bool__", "__reversed__", "__dict__", "__weakref__"} & set(members)
    assert SExp.__str__ is object.__str__
    assert {n for n in vars(SExpIter) if n not in ("__doc__", "__module__")} == {"__iter__", "__next__"}


@pytest.mark.parametrize("make", [SExp, lambda: iter(SExp())], ids=["SExp", "SExpIter"])
def test_instances_have_no_dict_or_weakref(make):
    obj = make()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_sexpiter_cannot_be_instantiated():
    assert SExpIter.__flags__ & TPFLAGS_DISALLOW_INSTANTIATION
    with pytest.raises(TypeError, match=re.escape("cannot create 'builtins.SExpIter' instances")):
        SExpIter()
    with pytest.raises(TypeError):
        SExpIter.__new__(SExpIter)


def test_sexp_is_unhashable_but_iterator_is_hashable():
    node = SExp()
    assert SExp.__hash__ is None
    for use in (hash, lambda n: {n}, lambda n: {n: 1}):
        with pytest.raises(TypeError, match="unhashable"):
            use(node)
    it = iter(node)
    assert hash(it) == object.__hash__(it)


def test_abstract_base_classes():
    node, abc = parse("(a)"), collections.abc
    assert all(isinstance(node, c) for c in (abc.Sized, abc.Container, abc.Iterable))
    assert not any(isinstance(node, c) for c in (abc.Sequence, abc.Mapping, abc.Hashable))
    assert isinstance(iter(node), abc.Iterator)


def test_handles_and_iterators_release_their_class():
    before = sys.getrefcount(SExp), sys.getrefcount(SExpIter)
    root = parse("(a b c)")
    for _ in range(10_000):
        list(iter(root))
        root.head.parent
    del root
    assert (sys.getrefcount(SExp), sys.getrefcount(SExpIter)) == before


def test_parse_error_class():
    assert ParseError.__bases__ == (ValueError,)
    assert (ParseError.__module__, ParseError.__name__) == ("_sexp", "ParseError")
    assert ParseError.__doc__ == "Raised when an S-expression string cannot be parsed."
    assert set(vars(ParseError)) <= {"__doc__", "__module__", "__weakref__", "__dict__"}


def test_reimport_publishes_the_same_classes():
    original = sys.modules.pop("_sexp")
    try:
        again = importlib.import_module("_sexp")
        assert again is not original and again.__all__ == original.__all__
        assert (again.SExp, again.SExpIter, again.ParseError) == (SExp, SExpIter, ParseError)
        assert again.parse.__self__ is again and type(again.parse("a")) is SExp
        with pytest.raises(ParseError):
            again.parse("(")
    finally:
        sys.modules["_sexp"] = original
