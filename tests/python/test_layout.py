"""Trees that keep the layout of their text: written back as read, edited in place."""

import copy
import difflib
import io
import os
import pathlib
import pickle
import re
import stat

import pytest

import _sexp
from _sexp import SExp, dump, dumps, iterparse, load, parse, quote

HERE = pathlib.Path(__file__).resolve().parent
SHARED = HERE.parents[2] / "shared"
FOOTPRINT = HERE.parents[1] / "data" / "R_0603_1608Metric.kicad_mod"
SYNTAX_OF = {"kicad": "kicad", "smtlib": "smtlib", "wasm": "wasm", "lisp": "lisp"}


def real_files():
    found = [(p, SYNTAX_OF[p.parent.name]) for p in sorted((SHARED / "formats").glob("*/*"))
             if p.parent.name in SYNTAX_OF]
    found += [(p, "plain") for p in sorted((SHARED / "corpus").glob("*/*"))
              if p.parent.name in ("kicad", "edif", "smtlib", "wasm")]
    return found or [pytest.param(None, None, marks=pytest.mark.skip("no real files beside"))]


def text_of(path):
    return path.read_bytes().decode("utf-8")  # as it is: no newline translation


def diff(before, after):
    lines = difflib.unified_diff(before.splitlines(True), after.splitlines(True), n=0)
    return "".join(list(lines)[2:])


@pytest.mark.parametrize("path, syntax", real_files(), ids=lambda v: getattr(v, "name", v))
def test_every_real_file_writes_back_byte_for_byte(path, syntax):
    data = path.read_bytes()
    text = data.decode("utf-8")
    forms = list(iterparse(data, syntax=syntax, keep_layout=True))
    assert "".join(dumps(f) for f in forms) == text
    with open(path, "rb") as f:  # in chunks, an odd size that cuts tokens and characters
        assert "".join(dumps(f) for f in iterparse(f, syntax=syntax, keep_layout=True,
                                                   chunk_size=4093)) == text
    if len(forms) == 1:
        for source in (data, text):
            root = parse(source, syntax=syntax, keep_layout=True)
            assert dumps(root) == text and root == forms[0]
        out = io.StringIO()  # a text file gets whole characters in every piece
        dump(root, out)
        assert out.getvalue() == text


def footprint():
    return load(FOOTPRINT, syntax="kicad", keep_layout=True)


PAD = "(pad 1 smd roundrect (at {} 0) (size 0.8 0.95) (layers F.Cu F.Mask F.Paste) " \
      "(roundrect_rratio 0.25))"


def new_property(t):
    new = t.new_list()
    new.extend(["property", quote("LCSC", syntax="kicad"), '"C25804"'])
    t.insert_after(t["tags"], new)


@pytest.mark.parametrize("edit, expected", [
    (lambda t: setattr(t.find("pad", "at")[1], "value", "-0.80"),
     f"@@ -21 +21 @@\n-  {PAD.format('-0.825')}\n+  {PAD.format('-0.80')}\n"),
    (lambda t: t.findall("fp_text")[1].remove(),
     "@@ -6,3 +5,0 @@\n-    (effects (font (size 1 1) (thickness 0.15)))\n-  )\n"
     "-  (fp_text value R_0603_1608Metric (at 0 1.43) (layer F.Fab)\n"),
    (new_property, '@@ -3,0 +4 @@\n+  (property "LCSC" "C25804")\n'),
    (lambda t: t.extend([t.find("pad")]), f"@@ -30,0 +31 @@\n+  {PAD.format('-0.825')}\n"),
    (lambda t: t.extend([["model", '"R.wrl"', ["offset", ["xyz", "0", "0", "0"]]]]),
     '@@ -30,0 +31,3 @@\n+  (model "R.wrl"\n+    (offset\n+      (xyz 0 0 0)))\n'),
])
def test_an_edit_changes_only_its_lines(edit, expected):
    t = footprint()
    edit(t)
    assert diff(text_of(FOOTPRINT), dumps(t)) == expected
    assert parse(dumps(t), syntax="kicad", keep_layout=True) == t


def test_scripts_keep_their_comments_and_line_ends():
    path = SHARED / "formats" / "smtlib" / "Geogebra-KochanskiPiApproximation-RegDodecagon.smt2"
    if not path.exists():
        pytest.skip("no real files beside")
    text = text_of(path)
    forms = list(iterparse(text, syntax="smtlib", keep_layout=True))
    assert dumps(forms[0]).startswith("(set-info :smt-lib-version")
    assert dumps(forms[-1]) == "\r\n(exit)\r\n"  # the last form keeps the text after it
    logic = next(f for f in forms if f.head.value == "set-logic")
    logic[1].value = "QF_NIRA"
    assert diff(text, "".join(dumps(f) for f in forms)) == \
        "@@ -11 +11 @@\n-(set-logic QF_NRA)\r\n+(set-logic QF_NIRA)\r\n"
    module = parse("(module ;; note\n (func))", syntax="wasm", keep_layout=True)
    module[1].remove()  # nothing may land inside the comment
    assert dumps(module) == "(module ;; note\n)"


def test_copies_keep_the_layout():
    t = footprint()
    t.find("pad", "at")[1].value = "1"
    whole = dumps(t)
    for copied in (t.clone(), copy.deepcopy(t), pickle.loads(pickle.dumps(t))):
        assert dumps(copied) == whole and copied == t
    pad = t.find("pad")
    for copied in (pad.clone(), pickle.loads(pickle.dumps(pad)), copy.deepcopy(pad)):
        assert dumps(copied) == dumps(pad) == PAD.format("1")
    line = t.find("fp_line")
    moved = line.extract()
    assert dumps(moved).startswith("(fp_line (start") and "fp_line (start -0.162" not in dumps(t)


def test_extend_copies_nodes_from_anywhere():
    t = parse("(a\n  (b 1) ; one\n  (c 2))", syntax="lisp", keep_layout=True)
    other = parse("(x\n    (y 3) ; three\n)", syntax="lisp", keep_layout=True)
    t.extend([other["y"], t, parse("(z 4)", syntax="smtlib", keep_layout=True)])
    # The copy of a root brings its own text alone, after a line break: the comment before
    # it runs to the end of its line.
    assert dumps(t) == ("(a\n  (b 1) ; one\n  (c 2)\n    (y 3) ; three\n"
                        "    (a\n  (b 1) ; one\n  (c 2)) (z 4))")
    assert parse(dumps(t), syntax="lisp") == t
    stale = t[1]
    t[2].remove()
    with pytest.raises(RuntimeError, match="stale node reference"):
        t.extend([t[1], stale])
    assert len(t) == 5  # nothing was added


@pytest.mark.parametrize("syntax, text, value, accepted", [
    ("kicad", "(a b)", "10k 1%", False),
    ("kicad", "(a b)", '"10k 1%"', True),
    ("kicad", "(a b)", "#b", True),          # not at the start of a line
    ("kicad", "(a\n  b)", "#b", False),      # which would make it a comment
    ("smtlib", "(a b)", "x;y", False),
    ("wasm", "(a b)", "(;", False),
    ("plain", "(a b)", "x y", False),
])
def test_a_tree_that_keeps_its_text_refuses_values_that_do_not_read_back(
        syntax, text, value, accepted):
    t = parse(text, syntax=syntax, keep_layout=True)
    if accepted:
        t[1].value = value
        assert parse(dumps(t), syntax=syntax)[1].value == value
        return
    with pytest.raises(ValueError, match=re.escape(repr(value)) + " would not read back"):
        t[1].value = value
    assert dumps(t) == text
    parse(text, syntax=syntax)[1].value = value  # a tree without layout takes any text


def test_load_and_dump_a_path(tmp_path):
    path = tmp_path / "fp.kicad_mod"
    path.write_bytes(FOOTPRINT.read_bytes())
    os.chmod(path, 0o640)
    t = load(str(path), syntax="kicad", keep_layout=True)
    with open(path, "rb") as f:
        assert load(f, syntax="kicad") == t
    t.find("pad", "at")[1].value = "0"
    dump(t, path)
    assert path.read_text() == dumps(t)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640
    assert sorted(os.listdir(tmp_path)) == ["fp.kicad_mod"]
    with pytest.raises(TypeError, match="must be a path or a binary file object, not int"):
        load(3)


def test_a_failed_dump_leaves_the_file_as_it_was(tmp_path, monkeypatch):
    path = tmp_path / "fp.kicad_mod"
    path.write_text("old")
    t = parse("(" + " ".join(f"(a{i})" for i in range(100_000)) + ")", keep_layout=True)
    real_open = io.open

    class Failing(io.FileIO):
        calls = 0

        def write(self, b):
            Failing.calls += 1
            if Failing.calls == 2:
                raise OSError("disk full")
            return super().write(b)

    monkeypatch.setattr(io, "open", lambda name, mode: Failing(name, mode.replace("b", "")))
    with pytest.raises(OSError, match="disk full"):
        dump(t, path)
    monkeypatch.setattr(io, "open", real_open)
    assert path.read_text() == "old" and os.listdir(tmp_path) == ["fp.kicad_mod"]


def test_kicad_legacy_netlists_read_form_by_form():
    text = "# EESchema Netlist Version 1.1\n(\n ( /5C3B1E R1 $noname R1 10k\n" \
           "  (    1 GND )\n )\n)\n*\n{ Allowed footprints by component:\n}\n"
    forms = list(iterparse(text, syntax="kicad", keep_layout=True))
    assert [repr(f) for f in forms] == ["((/5C3B1E R1 $noname R1 10k (1 GND)))", "*", "{",
                                        "Allowed", "footprints", "by", "component:", "}"]
    assert "".join(dumps(f) for f in forms) == text
