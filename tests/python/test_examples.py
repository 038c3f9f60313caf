"""The scripts in examples/ run on the shipped samples and produce the right files."""

import decimal
import os
import pathlib
import subprocess
import sys

import pytest

import _sexp
from _sexp import iterparse, parse

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
DATA = REPO / "data"
FOOTPRINTS = [DATA / "LQFP-144_20x20mm_P0.5mm.kicad_mod", DATA / "R_0603_1608Metric.kicad_mod"]
SAMPLES = FOOTPRINTS + [DATA / "Coffin-domain.smt2"]


def run(script, *args, ok=True):
    # The child imports the very module under test, wherever it was found.
    path = os.pathsep.join(filter(None, [str(pathlib.Path(_sexp.__file__).parent),
                                         os.environ.get("PYTHONPATH")]))
    env = {**os.environ, "PYTHONPATH": path, "PYTHONDONTWRITEBYTECODE": "1"}
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=300)
    assert (done.returncode == 0) == ok, done.stderr
    return done


def read(path, syntax="plain"):
    return parse(pathlib.Path(path).read_bytes(), syntax=syntax)


def walk_pairs(left, right):
    """Corresponding nodes of two trees of the same shape, in document order."""
    stack = [(left, right)]
    while stack:
        a, b = stack.pop()
        assert a.is_atom == b.is_atom and len(a) == len(b)
        yield a, b
        stack.extend(reversed(list(zip(a, b))))


@pytest.mark.parametrize("sample", SAMPLES, ids=lambda p: p.name)
@pytest.mark.parametrize("width", [100, 40])
def test_pretty_reads_back_equal_and_fits(sample, width, tmp_path):
    out = tmp_path / "out"
    run("pretty.py", sample, out, "--width", width)
    text = out.read_text(encoding="utf-8")
    syntax = "kicad" if sample.suffix == ".kicad_mod" else "smtlib"
    assert read(out, syntax) == read(sample, syntax)
    lines = text.splitlines()
    assert text.endswith("\n") and len(lines) > 1
    # Only a line that cannot be split (one atom, perhaps after its opening parenthesis) may
    # overrun the width.
    # Lines of an atom of several lines (a quoted run) are that one atom's.
    runs = "\n".join(a.value for a in read(sample, syntax).iter() if a.is_atom and "\n" in a.value)

    def atoms(line):
        if line.strip() in runs:
            return 1
        return len(list(iterparse(line.strip().lstrip("(").rstrip(")"), syntax=syntax)))

    assert all(len(line) <= width or atoms(line) == 1 for line in lines)
    root = read(sample, syntax)
    if len(repr(root)) > width:
        # The root is broken: every child list starts a line of its own at the first indent.
        starts = [line for line in lines if line.startswith("  (")]
        assert len(starts) == sum(1 for c in root if not c.is_atom)


def test_pretty_to_stdout_and_edge_inputs(tmp_path):
    default = run("pretty.py").stdout
    assert parse(default, syntax="smtlib") == read(DATA / "Coffin-domain.smt2", "smtlib")
    blank = tmp_path / "blank"
    blank.write_text(" \n\t\n")
    assert run("pretty.py", blank).stdout == ""
    broken = tmp_path / "broken"
    broken.write_text("(a (b)")
    assert "unclosed parenthesis" in run("pretty.py", broken, ok=False).stderr
    deep = tmp_path / "deep"
    deep.write_text("(" * 1500 + "x" + ")" * 1500)  # deeper than Python's recursion limit
    assert parse(run("pretty.py", deep, "--width", 20, "--indent", 1).stdout) == read(deep)


COORDINATES = {"at", "start", "end", "center", "mid", "xy"}


def is_pair(node):
    return (not node.is_atom and len(node) >= 3 and node[0].is_atom
            and node[0].value in COORDINATES and node[1].is_atom and node[2].is_atom)


def check_moved(before, after, dx, dy):
    moved = 0
    for a, b in walk_pairs(before, after):
        if a.is_atom:
            continue
        if is_pair(a):
            for i, d in ((1, dx), (2, dy)):
                assert decimal.Decimal(b[i].value) == decimal.Decimal(a[i].value) + d, repr(b)
            moved += 1
    return moved


@pytest.mark.parametrize("footprint", FOOTPRINTS, ids=lambda p: p.name)
def test_move_origin_shifts_every_pair_and_nothing_else(footprint, tmp_path):
    out = tmp_path / "moved"
    done = run("move_origin.py", footprint, out, "--dx", "1.5", "--dy", "-2.25")
    before, after = read(footprint, "kicad"), read(out, "kicad")
    # Lines hold what they held: only the numbers in them changed.
    old, new = footprint.read_text().splitlines(), out.read_text().splitlines()
    assert len(new) == len(old) and sum(a != b for a, b in zip(old, new)) < len(old)
    moved = check_moved(before, after, decimal.Decimal("1.5"), decimal.Decimal("-2.25"))
    assert moved > 10 and f"moved {moved} coordinate pairs" in done.stderr
    # Everything but the moved numbers is untouched: put them back and the trees are equal.
    for a, b in walk_pairs(before, after):
        if is_pair(a):
            b[1].value, b[2].value = a[1].value, a[2].value
    assert after == before


def test_move_origin_to_a_pad(tmp_path):
    out = tmp_path / "moved"
    run("move_origin.py", DATA / "R_0603_1608Metric.kicad_mod", out, "--to-pad", "1")
    pads = [c for c in read(out) if not c.is_atom and c.head.value == "pad"]
    assert [repr(p["at"]) for p in pads] == ["(at 0 0)", "(at 1.65 0)"]
    # The 3D model's offset is in its own frame and stays.
    assert repr(read(out)["model"]["at"]) == "(at (xyz 0 0 0))"
    assert "no pad 9" in run("move_origin.py", "--to-pad", "9", ok=False).stderr
    assert "invalid number value" in run("move_origin.py", "--dx", "east", ok=False).stderr
    odd = tmp_path / "odd"
    odd.write_text("(module M (pad 1 smd rect (at left 0)))")
    assert "not a number: 'left'" in run("move_origin.py", odd, out, "--dx", "1", ok=False).stderr


def pad_rows(stdout):
    return [line.split() for line in stdout.splitlines()]


def test_pads_lists_every_pad():
    rows = pad_rows(run("pads.py").stdout)
    assert [r[0] for r in rows] == [str(n) for n in range(1, 145)]
    assert {(r[1], r[2]) for r in rows} == {("smd", "roundrect")}
    assert rows[0][3:] == ["-10.6625", "-8.75", "1.475", "0.3"]
    small = pad_rows(run("pads.py", DATA / "R_0603_1608Metric.kicad_mod").stdout)
    assert small == [["1", "smd", "roundrect", "-0.825", "0", "0.8", "0.95"],
                     ["2", "smd", "roundrect", "0.825", "0", "0.8", "0.95"]]


def test_pads_rename_changes_one_number_only(tmp_path):
    out = tmp_path / "renamed"
    done = run("pads.py", DATA / "LQFP-144_20x20mm_P0.5mm.kicad_mod", out, "--rename", "7", "A7")
    assert [r[0] for r in pad_rows(done.stdout)][5:8] == ["6", "A7", "8"]
    before, after = read(DATA / "LQFP-144_20x20mm_P0.5mm.kicad_mod"), read(out)
    old = (DATA / "LQFP-144_20x20mm_P0.5mm.kicad_mod").read_text().splitlines()
    assert [(a, b) for a, b in zip(old, out.read_text().splitlines()) if a != b] == [
        (old[54], old[54].replace("(pad 7 ", "(pad A7 "))]
    numbers = [p[1].value for p in after if not p.is_atom and p.head.value == "pad"]
    assert numbers.count("A7") == 1 and "7" not in numbers and len(numbers) == 144
    renamed = [p for p in after if not p.is_atom and p.head.value == "pad" and p[1].value == "A7"]
    renamed[0][1].value = "7"
    assert after == before


def test_pads_quoted_numbers_and_nets(tmp_path):
    board = tmp_path / "board"
    board.write_text('(kicad_pcb (footprint R (pad "1" smd rect (at 0 0) (size 1 1) (net 1 "GND"))'
                     ' (pad "2" smd rect (at 1 0) (size 1 1) (net 2 "VCC"))))')
    out = tmp_path / "out"
    done = run("pads.py", board, out, "--rename", "2", "B")
    assert pad_rows(done.stdout) == [["1", "smd", "rect", "0", "0", "1", "1", "GND"],
                                     ["B", "smd", "rect", "1", "0", "1", "1", "VCC"]]
    assert read(out)["footprint"][3][1].value == '"B"'


def test_pads_quotes_a_number_that_needs_it(tmp_path):
    out = tmp_path / "out"
    run("pads.py", DATA / "R_0603_1608Metric.kicad_mod", out, "--rename", "1", "A (1)")
    assert [p[1].value for p in read(out, "kicad") if not p.is_atom and p.head.value == "pad"] \
        == ['"A (1)"', "2"]


@pytest.mark.parametrize("args, message", [
    (["--rename", "999", "x"], "no pad 999"),
    (["--rename", "1", " A1"], "cannot be empty or start or end with whitespace"),
])
def test_pads_refusals_write_nothing(args, message, tmp_path):
    out = tmp_path / "out"
    done = run("pads.py", DATA / "R_0603_1608Metric.kicad_mod", out, *args, ok=False)
    assert message in done.stderr and not out.exists()


def test_demo_runs_to_the_end():
    out = run("demo.py").stdout
    assert "written back unchanged: True" in out
    assert "written text parses back to an equal tree: True" in out
    assert "RuntimeError(stale node reference)" in out
