"""Threads, subinterpreters, and the caller's Python code running in the middle of a call.

With the interpreter lock these tests check that results stay consistent while threads
switch as often as possible; without it (or with the per-tree lock compiled in) they also
show races, and a tree lock held while the caller's code runs would hang them.
"""

import pickle
import subprocess
import sys
import threading

import pytest

from _sexp import SExp, iterparse, parse

STALE = "stale node reference"


@pytest.fixture
def switch_often():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(count, target):
    errors, barrier = [], threading.Barrier(count)

    def body(tid):
        try:
            barrier.wait()
            target(tid)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append((tid, e))

    threads = [threading.Thread(target=body, args=(t,)) for t in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads), "a thread hangs"
    assert not errors, errors


SHARED_TEXT = "(" + " ".join(f"(k{i} v{i} (x{i}))" for i in range(50)) + ")"


def test_threads_editing_own_trees_and_reading_shared_ones(switch_often):
    shared, reference = parse(SHARED_TEXT), parse(SHARED_TEXT)
    grown = SExp()  # every thread appends to it; nothing is ever removed from it
    rounds, threads = 2000, 4

    def work(tid):
        seen = 0
        for i in range(rounds):
            own = parse(f"(t{tid} (a b) c)")
            own.append(own.new_atom(str(i)))
            old = own[1][0]
            own[1].remove()
            with pytest.raises(RuntimeError, match=STALE):
                old.value
            head = f"u{tid}" * (i % 20)  # empty, inline and heap texts in turn
            own.head.value = head
            copy = own.clone()
            assert repr(copy) == f"({head} c {i})" and copy == own

            k = i % 50
            assert shared[k]["v" + str(k)].value == f"v{k}"
            assert repr(shared[f"k{k}"]) == f"(k{k} v{k} (x{k}))"
            assert f"k{k}" not in shared and shared[k] in shared
            assert [n.head.value for n in shared.tail][:2] == ["k1", "k2"]
            assert shared == reference and not (shared[k] != reference[k])
            if i % 50 == 0:
                assert repr(shared) == SHARED_TEXT

            assert shared.find(f"k{k}").tolist() == [f"k{k}", f"v{k}", [f"x{k}"]]
            assert [n.head.value for n in shared.iter(f"x{k}")] == [f"x{k}"]
            assert len(shared.findall(None, None)) == 50
            own.extend([f"e{i}", [str(tid)]])
            assert pickle.loads(pickle.dumps(own)) == own

            grown.append(grown.new_atom(f"{tid}:{i}"))
            now = len(list(grown))
            assert now > seen  # appends of other threads only add
            seen = now

    run_threads(threads, work)
    assert repr(shared) == SHARED_TEXT
    assert len(grown) == rounds * threads
    for tid in range(threads):
        mine = [n.value for n in grown if n.value.startswith(f"{tid}:")]
        assert mine == [f"{tid}:{i}" for i in range(rounds)]


@pytest.mark.parametrize("read", [parse, lambda text: next(iterparse(text))],
                         ids=["parse", "iterparse"])
def test_parsing_large_texts_lets_other_threads_run(read):
    # Each of two threads parses its own large text over and over and notes whether the other
    # ran Python code while its parse was under way. With the switch interval longer than the
    # test, only a parse that lets the interpreter lock go allows that.
    texts = ["(" + " ".join(f"(n{i} {tag} {i}.5)" for i in range(30_000)) + ")" for tag in "ab"]
    assert all(len(t) >= 64 * 1024 for t in texts)
    expected = [parse(t) for t in texts]
    rounds = [0, 0]
    overlapped = [0, 0]

    def work(tid):
        for _ in range(40):
            before = rounds[1 - tid]
            tree = read(texts[tid])
            overlapped[tid] += rounds[1 - tid] != before
            rounds[tid] += 1
        assert tree == expected[tid]

    old = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    try:
        run_threads(2, work)
    finally:
        sys.setswitchinterval(old)
    assert rounds == [40, 40] and all(overlapped), overlapped


def test_one_iterator_shared_by_threads_yields_each_child_once(switch_often):
    count = 20_000
    root = parse("(" + " ".join(f"n{i}" for i in range(count)) + ")")
    it = iter(root)
    taken = [[] for _ in range(4)]

    def drain(tid):
        while True:
            try:
                node = next(it)
            except StopIteration:
                return
            except RuntimeError as e:  # only two next() calls at once can meet this
                assert str(e) == "Already borrowed"
                continue
            taken[tid].append(node.value)

    run_threads(4, drain)
    values = [v for part in taken for v in part]
    assert sorted(values) == sorted(f"n{i}" for i in range(count))
    for part in taken:  # each thread sees the chain in order
        assert part == sorted(part, key=lambda v: int(v[1:]))


# ----------------------------------------------------------------------------------------
# Subinterpreters: the module either works there or refuses to load with ImportError.

SUBINTERPRETER = r"""
import sys

CODE = '''
import _sexp
t = _sexp.parse("(a (b c) d)")
t.append(t.new_atom("x" * 40))
assert repr(t.clone()) == "(a (b c) d " + "x" * 40 + ")"
try:
    _sexp.parse("(")
except _sexp.ParseError as e:
    assert str(e) == "unclosed parenthesis"
keep = [t[1], iter(t)]
'''

def attempt(make, run, close):
    # Several rounds, so a process-wide cache that outlives an interpreter gets used again.
    for _ in range(3):
        interp = make()
        try:
            run(interp)
            print("loaded")
        except Exception as e:
            text = str(e)
            if "ImportError" not in text and type(e).__name__ != "ImportError":
                raise
            print("refused")
        close(interp)

# An isolated interpreter has a lock of its own (from 3.12); a legacy one shares the main
# interpreter's lock and memory.
try:
    import _interpreters as raw  # 3.13 on: a failure comes back as a value

    def create(kind):
        return raw.create(raw.new_config(kind))

    def run(interp):
        failure = raw.run_string(interp, CODE)
        if failure is not None:
            raise RuntimeError(failure.formatted)
except ImportError:
    import _xxsubinterpreters as raw  # a failure raises

    def create(kind):
        return raw.create(isolated=kind == "isolated")

    def run(interp):
        raw.run_string(interp, CODE)

if sys.argv[1] == "main-first":
    import _sexp
for kind in ("isolated", "legacy"):
    attempt(lambda: create(kind), run, raw.destroy)
import gc, _sexp
gc.collect()
t = _sexp.parse("(x (y))")
assert repr(t[1].clone()) == "(y)" and t.head.value == "x"
try:
    _sexp.parse(")")
except _sexp.ParseError as e:
    assert type(e).__module__ == "_sexp" and isinstance(e, ValueError)
print("main ok")
"""


@pytest.mark.parametrize("order", ["main-first", "sub-first"])
def test_subinterpreters_load_it_or_refuse_cleanly(order):
    done = subprocess.run([sys.executable, "-c", SUBINTERPRETER, order], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == "main ok" and len(lines) == 7, done.stdout
    assert set(lines[:-1]) <= {"loaded", "refused"}
    assert "Fatal" not in done.stderr


# ----------------------------------------------------------------------------------------
# The caller's code running inside a call must find no tree locked: under the per-tree lock
# each of these would hang if it were.


class Index:
    def __init__(self, action, i=1):
        self.action, self.i = action, i

    def __index__(self):
        self.action()
        return self.i


def test_index_object_may_read_and_edit_the_tree_it_indexes():
    root = parse("(a b c)")
    seen = []

    def use_tree():
        seen.append((len(root), repr(root), root[0].value, [n.value for n in root],
                     root[0] == root[0], root[1] in root))
        root.append(root.new_atom("d"))

    got = root[Index(use_tree)]
    assert seen == [(3, "(a b c)", "a", ["a", "b", "c"], True, True)]
    assert got.value == "b" and repr(root) == "(a b c d)"
    # The children are listed before the key is converted: the new "d" is not among them.
    assert [n.value for n in root[Index(use_tree, -1):]] == ["d"]
    assert repr(root) == "(a b c d d)" and len(seen) == 2


def test_index_object_that_removes_gets_a_handle_made_before_the_removal():
    root = parse("(a b c)")
    got = root[Index(lambda: root[0].remove(), 2)]
    assert repr(root) == "(b c)"
    with pytest.raises(RuntimeError, match=STALE):
        got.value


class Bytes:
    """A sequence of byte values whose every step runs `action` first."""

    def __init__(self, data, action):
        self.data, self.action = data, action

    def __len__(self):
        self.action()
        return len(self.data)

    def __getitem__(self, i):
        self.action()
        return Index(self.action, self.data[i])


class BytesByIter(Bytes):
    def __iter__(self):
        for i in range(len(self.data)):
            self.action()
            yield Index(self.action, self.data[i])


@pytest.mark.parametrize("kind", [Bytes, BytesByIter])
def test_sequence_source_may_use_trees_while_it_is_read(kind):
    other = parse("(x)")
    calls = []

    def use_other():
        calls.append(repr(other))
        other.append(other.new_atom("y"))
        if len(calls) == 5:
            other[0].remove()
        calls.append(repr(parse(b"(nested parse)")))

    tree = parse(kind(b"(a (b c))", use_other))
    assert repr(tree) == "(a (b c))" and len(other) > 5
    assert calls[1] == "(nested parse)"


def test_parsing_a_handle_runs_its_own_protocol_and_refuses():
    root = parse("(40 41)")
    with pytest.raises(TypeError, match="expected str, bytes, or bytearray"):
        parse(root)  # a sequence whose items are handles, not byte values
    assert repr(root) == "(40 41)"


def test_extend_items_may_read_and_edit_the_tree_they_extend():
    root = parse("(a (b))")
    target = root[1]

    def items():
        yield "x"
        yield [repr(root), str(len(root)), str(len(list(root.iter())))]
        root.append(root.new_atom("during"))  # not a removal: target stays live
        yield root.find("b").head.value

    target.extend(items())
    assert repr(root) == "(a (b x ((a (b)) 2 4) b) during)"

    def removing():
        yield "y"
        root[0].remove()  # makes target stale before anything is built
        yield "z"

    with pytest.raises(RuntimeError, match=STALE):
        target.extend(removing())
    assert repr(root) == "((b x ((a (b)) 2 4) b) during)"


def test_iteration_with_edits_between_steps():
    root = parse("(a b)")
    out = []
    for node in root:
        out.append(node.value)
        if len(out) < 4:
            root.append(root.new_atom(node.value + "+"))
    assert out == ["a", "b", "a+", "b+", "a++"]


class Nosy:
    """An operand that uses handles inside its own comparison."""

    def __init__(self, handles):
        self.handles, self.asked = handles, 0

    def __eq__(self, other):
        self.asked += 1
        a, b = self.handles
        return a == b and a == other and not (other != a)

    __hash__ = None


def test_equality_locks_each_tree_once_and_never_runs_the_other_operand():
    t, u = parse("(a a)"), parse("(a a)")
    stale_tree = parse("(a b)")
    stale = stale_tree[0]
    stale_tree[1].remove()
    for a, b in [(t, t), (t[0], t[1]), (t, u), (u, t), (t[0], t[0])]:
        assert a == b and not (a != b)
    with pytest.raises(RuntimeError, match=STALE):
        stale == stale_tree
    with pytest.raises(RuntimeError, match=STALE):
        t != stale
    nosy = Nosy((t[0], u[1]))
    assert (t[0] == nosy, t[0] != nosy, nosy.asked) == (False, True, 0)
    assert nosy == t[1] and nosy.asked == 1
