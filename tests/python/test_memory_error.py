"""Running out of memory gives MemoryError and leaves every tree as it was.

A child process builds its trees, then caps its own address space a little above what it
already uses and runs each operation at several amounts of headroom, so allocations fail
at different points. After each attempt the cap is lifted and the trees are checked
against what they were before.
"""

import json
import os
import re
import resource
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(r"""
    import gc, json, resource
    from _sexp import SExp, parse

    PAGE = resource.getpagesize()
    MB = 1 << 20
    SOFT, HARD = resource.getrlimit(resource.RLIMIT_AS)

    def address_space():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * PAGE

    WIDE = 500_000
    tree = parse("((" + "abc " * WIDE + ") (x (y z)) tail)")
    twin = tree.clone()
    saved = repr(tree)
    lists = parse("(" + "() " * WIDE + ")")  # equality keeps list pairs on its stack
    lists_twin = lists.clone()
    big_text = "(" + "a " * 5_000_000 + ")"
    deep_text = "(" * 3_000_000 + ")" * 3_000_000
    # A non-ASCII str makes its UTF-8 form when first asked for it, then keeps it: one each.
    wide_str, wide_key = "é" * 30_000_000, "è" * 30_000_000
    long_str = "q" * 60_000_000
    byte_list = list(b"(a b) ") * 1_000_000
    byte_list[-1] = 32
    byte_list = [40] + byte_list + [41]

    OPS = {
        "parse a big text": lambda: parse(big_text),
        "parse deep nesting": lambda: parse(deep_text),
        "parse a bytearray": lambda: parse(bytearray(big_text.encode())),
        "parse a list of byte values": lambda: parse(byte_list),
        "parse a non-ASCII str": lambda: parse(wide_str),
        "remove a big subtree": lambda: tree[0].remove(),
        "clone the whole tree": lambda: tree.clone(),
        "clone a big subtree": lambda: tree[0].clone(),
        "clone a small subtree": lambda: tree[1].clone(),
        "extract a big subtree": lambda: tree[0].extract(),
        "repr a big tree": lambda: repr(tree),
        "compare big trees": lambda: lists == lists_twin and lists_twin != lists,
        "slice all children": lambda: tree[0][:],
        "list the children": lambda: list(tree[0]),
        "new_atom with a huge str": lambda: tree.append(tree.new_atom(long_str)),
        "set a huge value": lambda: setattr(tree[-1], "value", long_str),
        "look up a huge key": lambda: tree[long_str],
        "membership of a non-ASCII str": lambda: wide_key in tree,
        "extend with nested lists": lambda: tree.extend(made["items"]),
        "extend through a generator": lambda: tree.extend(x for x in made["items"]),
        "tolist of a big tree": lambda: tree.tolist(),
        "iter over a big tree": lambda: list(tree.iter()),
        "findall over a wide list": lambda: made["wide"].findall("a"),
        "pickle a big tree": lambda: made["pickle"].dumps(tree),
        "unpickle a big tree": lambda: made["pickle"].loads(made["pickled"]),
        # Last: the detached lists it makes stay in the tree's slots.
        "many new lists": lambda: [tree.new_list() for _ in range(2_000_000)] and None,
    }

    # What some operations work on, made just before them so that it shapes no earlier one.
    MAKE = {
        "extend with nested lists": lambda: made.update(
            items=[["abc"] * WIDE + ["q" * 40] * 20_000 + [["r" * 20]] * 20_000]),
        "findall over a wide list": lambda: made.update(wide=parse("(" + "(a) " * 200_000 + ")")),
        # Imported only here: an import leaves the heap laid out differently for what follows.
        "pickle a big tree": lambda: made.update(pickle=__import__("pickle")),
        "unpickle a big tree": lambda: made.update(pickled=made["pickle"].dumps(tree)),
    }
    made = {}

    # What a successful attempt changed, undone so that every attempt starts alike.
    UNDO = {
        "extract a big subtree": "restore",
        "remove a big subtree": "restore",
        "new_atom with a huge str": "drop last",
        "extend with nested lists": "drop last",
        "extend through a generator": "drop last",
        "set a huge value": "reset tail",
    }

    def check(probe):
        # The tree must read as before, and a handle made before a failed attempt must be
        # live: a refused removal raises no generation.
        return {
            "same text": repr(tree) == saved,
            "lists intact": len(lists) == WIDE and lists == lists_twin,
            "equal to its twin": tree == twin and not (tree != twin),
            "same length": len(tree) == 3 and len(tree[0]) == WIDE,
            "probe live": probe.value == "tail",
        }

    report = {}
    for name, op in OPS.items():
        if name in MAKE:
            MAKE[name]()
        outcomes = []
        for headroom in (1 * MB, 8 * MB, 64 * MB, 256 * MB, 1024 * MB):
            gc.collect()
            probe = tree[2]
            result = error = None
            resource.setrlimit(resource.RLIMIT_AS, (address_space() + headroom, HARD))
            try:
                result = op()
            except BaseException as e:  # described only once the cap is lifted
                error = e
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (SOFT, HARD))
            if error is None:
                outcome = "ok"
            elif type(error) is MemoryError:
                outcome = "MemoryError"
            else:
                outcome = f"{type(error).__name__}: {error}"[:200]
            del result, error
            gc.collect()
            changed = outcome == "ok" and UNDO.get(name)
            if changed:
                if changed == "restore":
                    tree.prepend(tree.new_list())  # rebuilt below; the probe is stale now
                    for _ in range(WIDE):
                        tree[0].append(tree.new_atom("abc"))
                    probe = tree[2]
                elif changed == "drop last":
                    tree[-1].remove()
                    probe = tree[2]
                else:
                    tree[-1].value = "tail"
            outcomes.append((outcome, check(probe)))
            if outcome != "MemoryError":
                break  # more headroom would only succeed again
        report[name] = outcomes
    print(json.dumps(report))
""")


# Large blocks each get their own mapping, so every big allocation meets the cap instead of
# reusing memory the allocator kept from earlier ones.
ALLOCATOR = {"MALLOC_MMAP_THRESHOLD_": "65536", "MALLOC_TRIM_THRESHOLD_": "131072",
             "MALLOC_TOP_PAD_": "0"}


def sanitized():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


def cap_takes_effect():
    # A user-mode emulator accepts an address-space cap without applying it, since it would
    # cap the emulator too; the limit then reads back unchanged.
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    trial = 1 << 62 if soft == resource.RLIM_INFINITY else soft - resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (trial, hard))
    try:
        return resource.getrlimit(resource.RLIMIT_AS)[0] == trial
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


pytestmark = [
    # The sanitizer's allocator ends the process when an allocation fails instead of reporting it.
    pytest.mark.skipif(sanitized(), reason="allocation failures end sanitized runs"),
    pytest.mark.skipif(not cap_takes_effect(), reason="the address-space cap is not enforced here"),
]


@pytest.fixture(scope="module")
def report():
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True,
                          timeout=600, env={**os.environ, **ALLOCATOR})
    assert done.returncode == 0, done.stderr[-3000:]
    return json.loads(done.stdout)


# The operations the child attempts, in its order.
OPS = re.findall(r'^ +"([^"]+)": lambda', CHILD, re.MULTILINE)


@pytest.mark.parametrize("name", OPS)
def test_out_of_memory_is_a_clean_memory_error(report, name):
    outcomes = report[name]
    for outcome, checks in outcomes:
        assert outcome in ("ok", "MemoryError") or (
            name == "look up a huge key" and outcome.startswith("KeyError")), outcome
        assert all(checks.values()), (outcome, checks)
    # With the least headroom the operation really ran out: the test is not vacuous.
    assert outcomes[0][0] == "MemoryError", outcomes
