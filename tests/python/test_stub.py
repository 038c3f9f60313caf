"""The type stub and the runtime module agree: names, signatures, and the types they claim."""

import ast
import collections.abc
import functools
import inspect
import io
import pathlib
import types
import typing

import pytest

import _sexp
from _sexp import SExp, SExpIter, parse

P = inspect.Parameter
TPFLAGS_BASETYPE = 1 << 10


def find_stub():
    # An installed module carries its stub beside it; a build tree uses the repository's.
    beside = pathlib.Path(_sexp.__file__).with_name("_sexp.pyi")
    if beside.is_file():
        return beside
    return pathlib.Path(__file__).resolve().parents[2] / "stubs" / "_sexp.pyi"


STUB = ast.parse(find_stub().read_text(encoding="utf-8"))
CLASSES = {n.name: n for n in STUB.body if isinstance(n, ast.ClassDef)}
FUNCTIONS = {n.name: n for n in STUB.body if isinstance(n, ast.FunctionDef)}

# Ordering slots exist at runtime only to answer NotImplemented; declaring them would let a
# type checker accept `a < b`, which always raises.
ORDERING = {"__lt__", "__le__", "__gt__", "__ge__"}


def decorators(fn):
    return {ast.unparse(d) for d in fn.decorator_list}


def is_setter(fn):
    return any(d.endswith(".setter") for d in decorators(fn))


def ast_signature(fn):
    """The inspect.Signature a def in the stub declares, annotations kept as source text."""
    a = fn.args

    def ann(node):
        return P.empty if node is None else ast.unparse(node)

    params = []
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        kind = P.POSITIONAL_ONLY if i < len(a.posonlyargs) else P.POSITIONAL_OR_KEYWORD
        params.append(P(arg.arg, kind, default=P.empty if default is None else ...,
                        annotation=ann(arg.annotation)))
    if a.vararg:
        params.append(P(a.vararg.arg, P.VAR_POSITIONAL, annotation=ann(a.vararg.annotation)))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        params.append(P(arg.arg, P.KEYWORD_ONLY, default=P.empty if default is None else ...,
                        annotation=ann(arg.annotation)))
    if a.kwarg:
        params.append(P(a.kwarg.arg, P.VAR_KEYWORD, annotation=ann(a.kwarg.annotation)))
    return inspect.Signature(params, return_annotation=ann(fn.returns))


def shape(params):
    return [(p.name, p.kind, p.default is not P.empty) for p in params]


def stub_members(cls):
    """Names a stub class declares: its defs and its annotated attributes."""
    names = set()
    for node in CLASSES[cls].body:
        if isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
    return names


def stub_defs(cls):
    return [n for n in CLASSES[cls].body if isinstance(n, ast.FunctionDef)]


def stub_def(qualname, setter=False):
    cls, _, name = qualname.rpartition(".")
    defs = stub_defs(cls) if cls else [FUNCTIONS[name]]
    found = [d for d in defs if d.name == name and is_setter(d) == setter]
    assert len(found) == 1, qualname
    return found[0]


def every_def():
    for fn in FUNCTIONS.values():
        yield pytest.param(None, fn, id=fn.name)
    for cls in CLASSES:
        for i, fn in enumerate(stub_defs(cls)):
            yield pytest.param(cls, fn, id=f"{cls}.{fn.name}#{i}")


def test_module_names():
    (all_node,) = [n for n in STUB.body
                   if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert ast.literal_eval(all_node.value) == _sexp.__all__
    declared = set(CLASSES) | set(FUNCTIONS)
    runtime = {n for n in vars(_sexp) if not n.startswith("_")}
    assert declared == runtime == set(_sexp.__all__)


@pytest.mark.parametrize("cls", ["SExp", "SExpIter", "ParseError"])
def test_class_members_and_bases(cls):
    runtime_cls = getattr(_sexp, cls)
    runtime = {n for n, v in vars(runtime_cls).items()
               if not n.startswith("__") or callable(v) or v is None}
    declared = stub_members(cls)
    public = {n for n in runtime if not n.startswith("_")}
    assert {n for n in declared if not n.startswith("_")} == public
    assert declared - runtime == set(), "the stub declares what the class does not define"
    assert runtime - declared == (ORDERING if cls == "SExp" else set())
    assert [ast.unparse(b) for b in CLASSES[cls].bases] == [
        b.__name__ for b in runtime_cls.__bases__ if b is not object]
    # Neither handle class can be subclassed; the stub says so.
    assert ("final" in decorators(CLASSES[cls])) == (not runtime_cls.__flags__ & TPFLAGS_BASETYPE)


def test_every_declaration_says_what_it_does():
    # Editors show these: the runtime's generic slot texts explain nothing of handles.
    undocumented = [f"{cls}.{fn.name}" if cls else fn.name for cls, fn in
                    [(None, f) for f in FUNCTIONS.values()] +
                    [(c, f) for c in CLASSES for f in stub_defs(c)] if not ast.get_docstring(fn)]
    assert undocumented == []
    assert all(ast.get_docstring(c) for c in CLASSES.values())


def test_unhashable_declared():
    (hash_node,) = [n for n in CLASSES["SExp"].body
                    if isinstance(n, ast.AnnAssign) and n.target.id == "__hash__"]
    assert ast.unparse(hash_node.annotation) == "ClassVar[None]" and SExp.__hash__ is None


def test_properties_and_their_setters():
    getters = {d.name for d in stub_defs("SExp") if "property" in decorators(d)}
    setters = {d.name for d in stub_defs("SExp") if is_setter(d)}
    runtime = {n for n, v in vars(SExp).items() if isinstance(v, types.GetSetDescriptorType)}
    assert getters == runtime
    atom = parse("(a b)")[0]
    writable = set()
    for name in runtime:
        try:
            setattr(atom, name, "x")
        except AttributeError:
            continue
        writable.add(name)
    assert setters == writable == {"value"}


@pytest.mark.parametrize("cls, fn", list(every_def()))
def test_signatures_match_text_signatures(cls, fn):
    stub = ast_signature(fn)
    method = cls is not None
    if fn.name == "__new__":
        runtime = inspect.signature(getattr(_sexp, cls))
    elif "property" in decorators(fn) or is_setter(fn):
        runtime = None  # properties have no text signature; their types are checked below
    else:
        target = getattr(getattr(_sexp, cls), fn.name) if method else getattr(_sexp, fn.name)
        runtime = inspect.signature(target)
    params = list(stub.parameters.values())
    if method:
        assert params and params[0].name == ("cls" if fn.name == "__new__" else "self")
        params = params[1:]
    if runtime is not None:
        runtime_params = list(runtime.parameters.values())
        if method and fn.name != "__new__":
            runtime_params = runtime_params[1:]
        assert shape(params) == shape(runtime_params)
    # Every parameter and result is typed: an unannotated one is an implicit Any.
    assert all(p.annotation is not P.empty for p in params)
    assert stub.return_annotation is not P.empty


# ---- the types the stub claims, checked against what the runtime does --------------------


NAMES = {
    "SExp": SExp, "SExpIter": SExpIter, "ParseError": _sexp.ParseError,
    "Sequence": collections.abc.Sequence, "SupportsIndex": typing.SupportsIndex,
    "Iterable": collections.abc.Iterable, "Iterator": collections.abc.Iterator,
    "Callable": collections.abc.Callable, "Any": typing.Any, "Literal": typing.Literal,
}


class Alias:
    """One of the stub's type aliases, its value made when first needed: it may name itself."""

    def __init__(self, text):
        self.text = text

    @functools.cached_property
    def value(self):
        return eval(self.text, NAMES)

    # Before 3.14 a type does not join an arbitrary object into a union.
    def __or__(self, other):
        return AnyOf((self, other))

    def __ror__(self, other):
        return AnyOf((other, self))


class AnyOf(tuple):
    """A union with an alias in it."""


for _node in STUB.body:
    if isinstance(_node, ast.AnnAssign) and ast.unparse(_node.annotation) == "TypeAlias":
        NAMES[_node.target.id] = Alias(ast.unparse(_node.value))


def runtime_type(text, self_type=None):
    return eval(text, {**NAMES, "Self": self_type})


def conforms(value, ann):
    if ann is None:
        return value is None
    if ann is typing.Any:
        return True
    if isinstance(ann, Alias):
        return conforms(value, ann.value)
    if isinstance(ann, AnyOf):
        return any(conforms(value, a) for a in ann)
    origin, args = typing.get_origin(ann), typing.get_args(ann)
    if origin is typing.Literal:
        return value in args and type(value) is str
    if origin in (types.UnionType, typing.Union):
        return any(conforms(value, a) for a in args)
    if origin is collections.abc.Callable:
        return callable(value)
    if origin is tuple and args[-1] is not Ellipsis:
        return (isinstance(value, tuple) and len(value) == len(args)
                and all(conforms(v, a) for v, a in zip(value, args)))
    if origin is dict:
        return isinstance(value, dict)
    if origin is not None:
        return isinstance(value, origin) and all(conforms(v, args[0]) for v in value)
    return isinstance(value, ann)


def returns(qualname, self_type=None):
    return runtime_type(ast_signature(stub_def(qualname)).return_annotation, self_type)


def fresh():
    return parse("(a (b c) (d))")


RESULTS = [
    ("parse", lambda: parse("(a (b c))")),
    ("SExp.__new__", lambda: SExp()),
    ("SExp.head", lambda: fresh().head),
    ("SExp.tail", lambda: fresh().tail),
    ("SExp.is_atom", lambda: fresh().is_atom),
    ("SExp.value", lambda: fresh()[0].value),
    ("SExp.parent", lambda: fresh()[1].parent),
    ("SExp.parent", lambda: fresh().parent),
    ("SExp.new_atom", lambda: fresh().new_atom("x")),
    ("SExp.new_list", lambda: fresh().new_list()),
    ("SExp.append", lambda: (r := fresh()).append(r.new_atom("x"))),
    ("SExp.prepend", lambda: (r := fresh()).prepend(r.new_atom("x"))),
    ("SExp.insert_after", lambda: (r := fresh()).insert_after(r[0], r.new_atom("x"))),
    ("SExp.remove", lambda: fresh()[1].remove()),
    ("SExp.remove_all", lambda: (r := fresh()).remove_all([r[1], r[2]])),
    ("SExp.clone", lambda: fresh()[1].clone()),
    ("SExp.extract", lambda: fresh()[1].extract()),
    ("SExp.iter", lambda: fresh().iter()),
    ("SExp.find", lambda: fresh().find("b")),
    ("SExp.find", lambda: fresh().find("x")),
    ("SExp.findall", lambda: fresh().findall(None)),
    ("SExp.tolist", lambda: fresh().tolist()),
    ("SExp.tolist", lambda: fresh()[0].tolist()),
    ("SExp.extend", lambda: fresh().extend(["x", ["y"]])),
    ("SExp.__copy__", lambda: fresh().__copy__()),
    ("SExp.__deepcopy__", lambda: fresh().__deepcopy__({})),
    ("SExp.__reduce__", lambda: fresh().__reduce__()),
    ("SExp.__len__", lambda: len(fresh())),
    ("SExp.__contains__", lambda: "a" in fresh()),
    ("SExp.__iter__", lambda: iter(fresh())),
    ("SExp.__eq__", lambda: fresh() == fresh()),
    ("SExp.__ne__", lambda: fresh() != 1),
    ("SExp.__repr__", lambda: repr(fresh())),
    ("SExpIter.__next__", lambda: next(iter(fresh()))),
    ("iterparse", lambda: _sexp.iterparse("(a) b ; c", syntax="smtlib")),
    ("dumps", lambda: _sexp.dumps(fresh(), indent=2)),
    ("dump", lambda: _sexp.dump(fresh(), io.BytesIO())),
    ("quote", lambda: _sexp.quote("a b", syntax="kicad")),
    ("unquote", lambda: _sexp.unquote('"a b"', syntax="kicad")),
    ("dumps", lambda: _sexp.dumps(["a", ("b",)])),
    ("loads", lambda: _sexp.loads("(a (b))")),
    ("loads", lambda: _sexp.loads("a")),
    ("error_position", lambda: _sexp.error_position("(a")),
    ("error_position", lambda: _sexp.error_position("(a)")),
]


@pytest.mark.parametrize("qualname, call", RESULTS, ids=[q for q, _ in RESULTS])
def test_declared_result_types(qualname, call):
    cls = qualname.partition(".")[0]
    self_type = getattr(_sexp, cls) if "." in qualname else None
    result = call()
    assert conforms(result, returns(qualname, self_type)), (qualname, result)


def test_iterator_returns_itself():
    it = iter(fresh())
    assert ast_signature(stub_def("SExpIter.__iter__")).return_annotation == "Self"
    assert iter(it) is it


def test_getitem_overloads():
    overloads = [d for d in stub_defs("SExp") if d.name == "__getitem__"]
    assert all("overload" in decorators(d) for d in overloads)
    samples = {"SupportsIndex": [0, -1, True], "str": ["b"],
               "slice": [slice(0, 2), slice(None, None, -1)]}
    claimed = {}
    for d in overloads:
        sig = ast_signature(d)
        key_type = list(sig.parameters.values())[1].annotation
        claimed[key_type] = runtime_type(sig.return_annotation)
    assert set(claimed) == set(samples)
    for key_type, keys in samples.items():
        for key in keys:
            assert conforms(fresh()[key], claimed[key_type]), (key_type, key)
    # A key no overload admits is refused at runtime too.
    with pytest.raises(TypeError):
        fresh()[1.0]


def admits(qualname, param, value, setter=False):
    sig = ast_signature(stub_def(qualname, setter))
    return conforms(value, runtime_type(sig.parameters[param].annotation))


def refuses_type(call):
    try:
        call()
    except TypeError:
        return True
    return False


ARGUMENTS = [
    # (qualname, parameter, value, call with that value)
    *[("parse", "source", v, lambda v: parse(v))
      for v in ["(a)", b"(a)", bytearray(b"(a)"), [40, 97, 41], (40, 97, 41), None, 5, 1.5, {}]],
    *[("SExp.new_atom", "value", v, lambda v: SExp().new_atom(v))
      for v in ["x", "", b"x", 5, None]],
    *[("SExp.append", "child", v, lambda v: fresh().append(v)) for v in [None, "a", 1]],
    *[("SExp.insert_after", "after", v, lambda v: (r := fresh()).insert_after(v, r.new_atom("x")))
      for v in [None, "a"]],
    *[("parse", "syntax", v, lambda v: parse("a", syntax=v)) for v in ["kicad", "lisp", 5, None, b"wasm"]],
    *[("dumps", "node", v, lambda v: _sexp.dumps(v))
      for v in [SExp(), "(a)", ["a", ("b",)], None, [1], {"a"}]],
    *[("loads", "source", v, lambda v: _sexp.loads(v)) for v in ["(a)", b"a", [97], None]],
    *[("dumps", "indent", v, lambda v: _sexp.dumps(fresh(), indent=v))
      for v in [None, 0, 2, True, "\t ", 1.5, b" ", [" "]]],
    *[("SExp.iter", "head", v, lambda v: fresh().iter(v)) for v in ["b", None, b"b", 5]],
    *[("SExp.findall", "path", v, lambda v: fresh().findall(v)) for v in ["b", None, b"b", 5]],
    *[("SExp.extend", "items", v, lambda v: fresh().extend(v))
      for v in [["a", ["b", ("c",)]], (), "ab", [5], [b"a"], [{"a"}], 5, None]],
    *[("SExp.remove_all", "nodes", v, lambda v: fresh().remove_all(v))
      for v in [[], (), "ab", [5], 5, None]],
]


@pytest.mark.parametrize("qualname, param, value, call", ARGUMENTS,
                         ids=[f"{q}-{v!r}" for q, _, v, _ in ARGUMENTS])
def test_argument_types_admit_what_the_runtime_accepts(qualname, param, value, call):
    assert admits(qualname, param, value) == (not refuses_type(lambda: call(value)))


@pytest.mark.parametrize("value", ["x", "é" * 20, b"x", 5, None])
def test_value_setter_type(value):
    atom = fresh()[0]

    def assign():
        atom.value = value

    assert admits("SExp.value", "value", value, setter=True) == (not refuses_type(assign))
