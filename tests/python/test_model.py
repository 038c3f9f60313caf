"""Random operations run side by side on `_sexp` and on a small pure-Python model.

Old handles and iterators stay in the bundles and keep being used, so most calls meet
stale handles, handles of other trees, detached nodes and moved nodes. Every outcome is
compared: results, renderings, and the type and message of every refusal.
"""

from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import (Bundle, RuleBasedStateMachine, initialize, invariant,
                                 multiple, precondition, rule)

from _sexp import ParseError, SExp, SExpIter, parse

STALE = (RuntimeError, "stale node reference")
OTHER_TREE = (ValueError, "node belongs to a different tree")
WHITESPACE = " \t\n\r"


class Refuse(Exception):
    """What the model expects a call to raise. `msg` None: the type alone is compared;
    `part`: the message need only contain `msg`."""

    def __init__(self, exc, msg=None, part=False):
        super().__init__(exc, msg)
        self.exc, self.msg, self.part = exc, msg, part


def arg_error(method, arg, expected, got):
    kind = "None" if got is None else type(got).__name__
    return Refuse(TypeError, f"{method}() argument '{arg}' must be {expected}, not {kind}",
                  part=True)


# ----------------------------------------------------------------------------------------
# The model


class MNode:
    def __init__(self, atom, text=None):
        self.atom, self.text, self.children, self.parent = atom, text, [], None


class MTree:
    def __init__(self, root, implicit=False, gen=0):
        self.root, self.implicit, self.gen = root, implicit, gen


class MHandle:
    def __init__(self, tree, node):
        self.tree, self.node, self.gen = tree, node, tree.gen

    def live(self):
        return self.node is self.tree.root or self.gen == self.tree.gen

    def check(self):
        if not self.live():
            raise Refuse(*STALE)


class MIter:
    def __init__(self, tree, start):
        self.tree, self.next_node, self.gen = tree, start, tree.gen


def index_of(node):
    siblings = node.parent.children
    return next(i for i, c in enumerate(siblings) if c is node)


def next_sibling(node):
    if node.parent is None:
        return None
    i = index_of(node) + 1
    return node.parent.children[i] if i < len(node.parent.children) else None


def unlink(node):
    if node.parent is not None:
        del node.parent.children[index_of(node)]
        node.parent = None


def render(tree, node):
    if node is tree.root and tree.implicit and not node.children:
        return ""
    if node.atom:
        return node.text
    return "(" + " ".join(render(tree, c) for c in node.children) + ")"


def equal(a, b):
    if a.atom:
        return b.atom and a.text == b.text
    return (not b.atom and len(a.children) == len(b.children)
            and all(equal(x, y) for x, y in zip(a.children, b.children)))


def copy(node, with_children=True):
    new = MNode(node.atom, node.text)
    if with_children:
        for c in node.children:
            k = copy(c)
            k.parent = new
            new.children.append(k)
    return new


def model_parse(text):
    stack, tops, i = [], [], 0
    while i < len(text):
        ch = text[i]
        if ch in WHITESPACE:
            i += 1
            continue
        if ch == ")":
            if not stack:
                raise Refuse(ParseError, "stray closing parenthesis")
            stack.pop()
            i += 1
            continue
        if ch == "(":
            node, i = MNode(False), i + 1
        else:
            j = i
            while j < len(text) and text[j] not in WHITESPACE + "()":
                j += 1
            node, i = MNode(True, text[i:j]), j
        if stack:
            node.parent = stack[-1]
            stack[-1].children.append(node)
        else:
            tops.append(node)
        if not node.atom:
            stack.append(node)
    if stack:
        raise Refuse(ParseError, "unclosed parenthesis")
    if not tops:
        return MTree(MNode(False), implicit=True)
    if len(tops) > 1:
        raise Refuse(ParseError, "multiple top-level forms")
    return MTree(tops[0])


def text_of(value, method):
    if not isinstance(value, str):
        raise arg_error(method, "value", "str", value)
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise Refuse(UnicodeEncodeError) from None
    return value


# ----------------------------------------------------------------------------------------
# Pairs of real objects and their model counterparts


class Pair:
    def __init__(self, real, model):
        self.real, self.model = real, model

    def __repr__(self):
        return f"<{self.real.__class__.__name__} {id(self.real):#x}>"


class Index:
    def __init__(self, i):
        self.i = i

    def __index__(self):
        return self.i

    def __repr__(self):
        return f"Index({self.i})"


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as e:  # noqa: BLE001 - every refusal is compared below
        return ("err", e)


def same_error(real, expected):
    assert type(real) is expected.exc, (real, expected.exc, expected.msg)
    if expected.msg is None:
        return
    text = real.args[0] if isinstance(real, KeyError) else str(real)
    if expected.part:
        assert expected.msg in text, (text, expected.msg)
    else:
        assert text == expected.msg, (text, expected.msg)


def run(real_fn, model_fn):
    """Runs the model, then the real call; returns (real result, model result) on success
    and None when both refused alike."""
    m = outcome(model_fn)
    r = outcome(real_fn)
    if m[0] == "err":
        if not isinstance(m[1], Refuse):
            raise m[1]
        assert r[0] == "err", f"expected {m[1].exc.__name__}({m[1].msg!r}), got {r[1]!r}"
        same_error(r[1], m[1])
        return None
    if r[0] == "err":
        raise AssertionError(f"model succeeded with {m[1]!r}, real raised {r[1]!r}")
    return r[1], m[1]


ATOM_TEXTS = st.sampled_from(["a", "b", "c", "", "a b", "é", "(", "twenty bytes of text",
                              "twenty bytes of tex!", "\x00", "\ud800"])
VALUES = st.one_of(ATOM_TEXTS, ATOM_TEXTS, ATOM_TEXTS, st.sampled_from([5, None, b"a"]))
SOURCE_PIECES = st.sampled_from(["(", ")", "(", ")", " ", "\t\n", "a", "b", "é", "\x0b",
                                 "sixteen-byte-atom", "()", "(a b)"])


def _spaced(parts):
    return st.sampled_from([" ", "\t", "\n ", "\r\n"]).map(lambda ws: ws.join(parts))


ATOMS = st.sampled_from(["a", "b", "c", "é", "\x0b", "sixteen-byte-atom"])
FORMS = st.recursive(ATOMS, lambda inner: st.lists(inner, max_size=4).flatmap(_spaced).map(
    lambda body: f"({body})"), max_leaves=12)
PADDING = st.tuples(st.sampled_from(["", " ", "\n\t"]), st.sampled_from(["", "\r\n"]))
SOURCES = st.tuples(
    st.one_of(FORMS, st.lists(SOURCE_PIECES, max_size=12).map("".join), st.just("")), PADDING
).map(lambda fp: fp[1][0] + fp[0] + fp[1][1])
INT_KEYS = st.one_of(st.integers(-3, 3), st.integers(-3, 3),
                     st.sampled_from([True, False, 2**63, -2**63, -2**63 - 1, 2**64, -2**64]))
OTHER_KEYS = st.sampled_from([slice(None), slice(1, 3), slice(None, None, -1), slice(-1, 0),
                              1.0, None, Index(0), Index(-1), Index(9), (0,)])
FOREIGN = st.sampled_from([None, 5, "a", "b", "", "\ud800", b"a", ("a",)])


class TreeMachine(RuleBasedStateMachine):
    handles = Bundle("handles")
    iters = Bundle("iters")

    def __init__(self):
        super().__init__()
        self.trees = []  # (model tree, real root handle), one per tree
        self.made = []  # every pair so far, oldest first

    def new_tree(self, real, model):
        self.trees.append((model, real))
        root = self.pair(real, MHandle(model, model.root))
        # Every node of a new tree is at hand as a partner for later calls.
        todo = [(real, model.root)]
        while todo:
            handle, node = todo.pop()
            for kid, mkid in zip(handle, node.children):
                self.pair(kid, MHandle(model, mkid))
                todo.append((kid, mkid))
        return root

    def pair(self, real, model_handle):
        assert repr(real) == render(model_handle.tree, model_handle.node)
        self.made.append(Pair(real, model_handle))
        return self.made[-1]

    def partner(self, data, h, none_ok=False):
        """A second argument for h's method: mostly a handle of h's own tree (old or new),
        sometimes one of any tree, None or a foreign object."""
        kind = data.draw(st.integers(0, 9))
        if kind == 0:
            return data.draw(st.none() if none_ok else FOREIGN)
        if kind == 1:
            return data.draw(FOREIGN if none_ok else st.sampled_from(self.made))
        if kind == 2:
            return data.draw(st.sampled_from(self.made))
        own = [p for p in self.made if p.model.tree is h.model.tree]
        if kind > 3:
            own = [p for p in own if p.model.node is not p.model.tree.root] or own
        return data.draw(st.sampled_from(own[-16:]))

    # -- making trees ---------------------------------------------------------------------

    @initialize(target=handles, text=st.lists(FORMS, min_size=2, max_size=5).map(
        lambda forms: "(" + " ".join(forms) + ")"))
    def first_tree(self, text):
        return self.parse_text(text, as_bytes=False)

    @precondition(lambda self: len(self.trees) < 6)
    @rule(target=handles, text=SOURCES, as_bytes=st.booleans())
    def parse_text(self, text, as_bytes):
        source = text.encode() if as_bytes else text
        got = run(lambda: parse(source), lambda: model_parse(text))
        if got is None:
            if not self.trees:  # the machine needs one tree to work on
                return self.new_tree(SExp(), MTree(MNode(False)))
            return multiple()
        return self.new_tree(*got)

    @precondition(lambda self: len(self.trees) < 6)
    @rule(target=handles)
    def empty_tree(self):
        return self.new_tree(SExp(), MTree(MNode(False)))

    # -- building -------------------------------------------------------------------------

    @rule(target=handles, h=handles, value=VALUES)
    def new_atom(self, h, value):
        def model():
            text = text_of(value, "SExp.new_atom")
            h.model.check()
            return MHandle(h.model.tree, MNode(True, text))

        got = run(lambda: h.real.new_atom(value), model)
        return multiple() if got is None else self.pair(*got)

    @rule(target=handles, h=handles)
    def new_list(self, h):
        def model():
            h.model.check()
            return MHandle(h.model.tree, MNode(False))

        got = run(h.real.new_list, model)
        return multiple() if got is None else self.pair(*got)

    def model_attach(self, h, child, after, how):
        """The checks of an attach in their order, then the move."""
        method = f"SExp.{how}"
        if how == "insert_after" and after is not None and not isinstance(after, Pair):
            raise arg_error(method, "after", "SExp", after)
        if not isinstance(child, Pair):
            raise arg_error(method, "child", "SExp", child)
        recv, kid = h.model, child.model
        anchor = after.model if isinstance(after, Pair) else None
        tree = recv.tree
        if kid.tree is not tree or (anchor is not None and anchor.tree is not tree):
            raise Refuse(*OTHER_TREE)
        recv.check()
        if anchor is not None:
            anchor.check()
        kid.check()
        if kid.node is tree.root:
            raise Refuse(ValueError, "cannot attach the root node")
        at = recv.node
        while at is not None:
            if at is kid.node:
                raise Refuse(ValueError,
                             "cannot attach a node under itself or one of its descendants")
            at = at.parent
        if anchor is not None:
            if anchor.node is kid.node:
                raise Refuse(ValueError, "cannot insert a node after itself")
            if anchor.node.parent is not recv.node:
                raise Refuse(ValueError, "after is not a child of this node")
        unlink(kid.node)
        if how == "append":
            position = len(recv.node.children)
        elif anchor is None:
            position = 0
        else:
            position = index_of(anchor.node) + 1
        recv.node.children.insert(position, kid.node)
        kid.node.parent = recv.node

    @rule(h=handles, data=st.data(), at_end=st.booleans())
    def append_or_prepend(self, h, data, at_end):
        child = self.partner(data, h)
        how = "append" if at_end else "prepend"
        real_child = child.real if isinstance(child, Pair) else child
        got = run(lambda: getattr(h.real, how)(real_child),
                  lambda: self.model_attach(h, child, None, how))
        assert got is None or got[0] is None

    @rule(h=handles, data=st.data(), by_keyword=st.booleans(), same=st.integers(0, 9))
    def insert_after(self, h, data, by_keyword, same):
        after = self.partner(data, h, none_ok=True)
        child = after if same == 0 and isinstance(after, Pair) else self.partner(data, h)
        real_after = after.real if isinstance(after, Pair) else after
        real_child = child.real if isinstance(child, Pair) else child
        if by_keyword:
            call = lambda: h.real.insert_after(child=real_child, after=real_after)  # noqa: E731
        else:
            call = lambda: h.real.insert_after(real_after, real_child)  # noqa: E731
        got = run(call, lambda: self.model_attach(h, child, after, "insert_after"))
        assert got is None or got[0] is None

    @rule(h=handles, value=VALUES)
    def set_value(self, h, value):
        def real():
            h.real.value = value

        def model():
            text = text_of(value, "SExp.value")
            h.model.check()
            if not h.model.node.atom:
                raise Refuse(TypeError, "cannot set value on a list node")
            h.model.node.text = text

        run(real, model)

    # -- removal and copying ----------------------------------------------------------------

    def model_remove(self, h, verb):
        m = h.model
        if m.node is m.tree.root:
            raise Refuse(ValueError, f"cannot {verb} the root node")
        m.check()
        result = MTree(copy(m.node, with_children=not m.node.atom))
        unlink(m.node)
        m.tree.gen += 1
        return result

    @rule(h=handles)
    def remove(self, h):
        got = run(h.real.remove, lambda: self.model_remove(h, "remove"))
        assert got is None or got[0] is None

    @precondition(lambda self: len(self.trees) < 10)
    @rule(target=handles, h=handles)
    def extract(self, h):
        got = run(h.real.extract, lambda: self.model_remove(h, "extract"))
        return multiple() if got is None else self.pair(got[0], self.new_tree(*got).model)

    @precondition(lambda self: len(self.trees) < 6)
    @rule(target=handles, h=handles)
    def clone(self, h):
        def model():
            m = h.model
            m.check()
            if m.node is m.tree.root:
                return MTree(copy(m.node), m.tree.implicit, m.tree.gen)
            return MTree(copy(m.node, with_children=not m.node.atom))

        got = run(h.real.clone, model)
        return multiple() if got is None else self.pair(got[0], self.new_tree(*got).model)

    # -- reading ----------------------------------------------------------------------------

    @rule(h=handles)
    def inspect(self, h):
        m = h.model

        def reader(fn):
            def read():
                m.check()
                return fn(m.node)
            return read

        def value(node):
            if not node.atom:
                raise Refuse(TypeError, "list node has no value")
            return node.text

        for real, model in [
            (lambda: repr(h.real), reader(lambda n: render(m.tree, n))),
            (lambda: str(h.real), reader(lambda n: render(m.tree, n))),
            (lambda: len(h.real), reader(lambda n: len(n.children))),
            (lambda: bool(h.real), reader(lambda n: bool(n.children))),
            (lambda: h.real.is_atom, reader(lambda n: n.atom)),
            (lambda: h.real.value, reader(value)),
        ]:
            got = run(real, model)
            if got is not None:
                assert got[0] == got[1]

    @rule(target=handles, h=handles, which=st.sampled_from(["head", "parent"]))
    def step(self, h, which):
        m = h.model

        def model():
            m.check()
            if which == "parent":
                node = m.node.parent
            elif m.node.children:
                node = m.node.children[0]
            else:
                raise Refuse(IndexError, "expression is empty")
            return None if node is None else MHandle(m.tree, node)

        got = run(lambda: getattr(h.real, which), model)
        if got is None:
            return multiple()
        if got[1] is None:
            assert got[0] is None
            return multiple()
        return self.pair(*got)

    @rule(target=handles, h=handles)
    def children(self, h):
        def model():
            h.model.check()
            return [MHandle(h.model.tree, c) for c in h.model.node.children]

        got = run(lambda: h.real[:], model)
        if got is None:
            return multiple()
        assert len(got[0]) == len(got[1])
        return multiple(*(self.pair(r, m) for r, m in zip(*got)))

    @rule(target=handles, h=handles, key=INT_KEYS)
    def index_int(self, h, key):
        def model():
            if not -2**63 <= key < 2**63:
                raise Refuse(OverflowError)
            h.model.check()
            children = h.model.node.children
            p = key + len(children) if key < 0 else key
            if not 0 <= p < len(children):
                raise Refuse(IndexError, "index out of range")
            return MHandle(h.model.tree, children[p])

        got = run(lambda: h.real[key], model)
        return multiple() if got is None else self.pair(*got)

    @rule(target=handles, h=handles, key=ATOM_TEXTS)
    def index_str(self, h, key):
        def model():
            try:
                key.encode("utf-8")
            except UnicodeEncodeError:
                raise Refuse(UnicodeEncodeError) from None
            h.model.check()
            for c in h.model.node.children:
                candidate = c.children[0] if c.children else c
                if candidate.atom and candidate.text == key:
                    return MHandle(h.model.tree, c)
            raise Refuse(KeyError, f"no child '{key}'")

        got = run(lambda: h.real[key], model)
        return multiple() if got is None else self.pair(*got)

    @rule(h=handles, key=OTHER_KEYS)
    def index_other(self, h, key):
        def model():
            h.model.check()
            try:
                result = h.model.node.children[key]
            except Exception as e:  # noqa: BLE001 - a list's own refusal is the expected one
                raise Refuse(type(e), str(e)) from None
            if isinstance(result, list):
                return [render(h.model.tree, n) for n in result]
            return render(h.model.tree, result)

        got = run(lambda: h.real[key], model)
        if got is not None:
            real = [repr(x) for x in got[0]] if isinstance(got[0], list) else repr(got[0])
            assert real == got[1]

    @rule(h=handles, data=st.data())
    def contains(self, h, data):
        item = self.partner(data, h)
        def model():
            h.model.check()
            children = h.model.node.children
            if isinstance(item, Pair):
                other = item.model
                if other.tree is not h.model.tree or not other.live():
                    return False
                return any(c is other.node for c in children)
            if isinstance(item, str):
                try:
                    item.encode("utf-8")
                except UnicodeEncodeError:
                    return False
                return any(c.atom and c.text == item for c in children)
            return False

        real_item = item.real if isinstance(item, Pair) else item
        got = run(lambda: real_item in h.real, model)
        if got is not None:
            assert got[0] is got[1]

    @rule(a=handles, data=st.data(), swap=st.booleans())
    def compare(self, a, data, swap):
        b = self.partner(data, a)

        def model(negate):
            if not isinstance(b, Pair):
                return negate  # a foreign operand is never asked, and never raises
            a.model.check()
            b.model.check()
            return equal(a.model.node, b.model.node) != negate

        real_b = b.real if isinstance(b, Pair) else b
        left, right = (real_b, a.real) if swap else (a.real, real_b)
        for negate in (False, True):
            got = run((lambda: left != right) if negate else (lambda: left == right),
                      lambda: model(negate))
            if got is not None:
                assert got[0] is got[1]

    # -- iteration --------------------------------------------------------------------------

    @rule(target=iters, h=handles, tail=st.booleans())
    def make_iter(self, h, tail):
        def model():
            h.model.check()
            children = h.model.node.children
            start = children[1 if tail else 0] if len(children) > (1 if tail else 0) else None
            return MIter(h.model.tree, start)

        got = run(lambda: h.real.tail if tail else iter(h.real), model)
        if got is None:
            return multiple()
        assert type(got[0]) is SExpIter and iter(got[0]) is got[0]
        return Pair(*got)

    def model_next(self, it):
        m = it.model
        if m.next_node is None:
            raise Refuse(StopIteration)
        if m.tree.gen != m.gen:
            raise Refuse(*STALE)
        node, m.next_node = m.next_node, next_sibling(m.next_node)
        return MHandle(m.tree, node)

    @rule(target=handles, it=iters)
    def next_child(self, it):
        got = run(lambda: next(it.real), lambda: self.model_next(it))
        return multiple() if got is None else self.pair(*got)

    @rule(it=iters)
    def drain(self, it):
        def model():
            out = []
            while True:
                try:
                    out.append(self.model_next(it))
                except Refuse as e:
                    if e.exc is StopIteration:
                        return out
                    raise

        got = run(lambda: list(it.real), model)
        if got is not None:
            assert [repr(r) for r in got[0]] == [render(m.tree, m.node) for m in got[1]]

    # -- whole trees --------------------------------------------------------------------------

    @invariant()
    def trees_match(self):
        for model, root in self.trees:
            assert repr(root) == render(model, model.root)
            # Walk all reachable nodes with fresh handles: atoms' children and values too.
            todo = [(root, model.root)]
            while todo:
                real, node = todo.pop()
                kids = list(real)
                assert real.is_atom == node.atom and len(kids) == len(node.children)
                if node.atom:
                    assert real.value == node.text
                todo.extend(zip(kids, node.children))


TreeMachine.TestCase.settings = settings(
    max_examples=600, stateful_step_count=50, deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
test_model = TreeMachine.TestCase
