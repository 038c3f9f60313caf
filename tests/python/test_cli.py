"""The sexp package and its command: check, fmt, find and json over files and folders."""

import doctest
import json
import os
import re
import subprocess
import sys

import pytest

import _sexp
import sexp
from sexp import cli

# (name, bytes, the line `sexp check` prints for it, or None for a good file)
FILES = [
    ("board.kicad_pcb", b'(kicad_pcb\n  (gr_text "a (b" (at 1 2))\n  (net 1 "GND")', "1:1: unclosed parenthesis"),
    ("R1.kicad_mod", b'(footprint "R1"\n  (descr "0603 \\"thin)', "2:10: unterminated string"),
    ("ok.kicad_sym", b'(kicad_symbol_lib (symbol "R" (pin "~" (at 0 0))))', None),
    ("sat.smt2", b"(set-logic QF_BV) ; (\n(assert (> x |)|)))\n(check-sat)", "2:19: stray closing parenthesis"),
    ("ok.smt2", b"(set-logic QF_BV)\n; a comment )\n(check-sat)", None),
    ("f.wast", b"(module)\n(assert_invalid (; a (; nested ;) comment\n (module))", "2:17: unterminated comment"),
    ("dune", b"(library\n (name lwt) #| ( |#\n (libraries (unix)", "3:2: unclosed parenthesis"),
    ("data.net", "(a \u00e9t\u00e9)\n(b)".encode(), "2:1: multiple top-level forms"),
    ("bad-utf8.sexp", b"(a) (b \xff)) (c)", "1:8: input is not valid UTF-8"),
    # form by form, the stray parenthesis comes before the bad byte
    ("early.smt2", b"(a) (b)) \xff", "1:8: stray closing parenthesis"),
    ("empty.wat", b"  ;; nothing here", None),
]


def run(capsys, *argv):
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture
def folder(tmp_path):
    for name, data, _ in FILES:
        (tmp_path / name).write_bytes(data)
    (tmp_path / "notes.md").write_text("(not read: no syntax in its name")
    hidden = tmp_path / ".git"
    hidden.mkdir()
    (hidden / "x.sexp").write_text("(")
    return tmp_path


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_check_names_each_bad_file_where_its_error_is(capsys, folder, jobs):
    status, out, _ = run(capsys, "check", "-j", jobs, str(folder))
    expected = [f"{folder / name}:{line}" for name, _, line in sorted(FILES) if line]
    *lines, summary = out.splitlines()
    assert lines == expected
    total = sum(len(data) for _, data, _ in FILES)
    assert re.fullmatch(rf"{len(FILES)} files, {total} bytes, {len(expected)} bad, \d+\.\d\d s", summary)
    assert status == 1


def test_check_of_good_files_and_of_a_chosen_syntax(capsys, folder):
    good = [str(folder / name) for name, _, line in FILES if line is None]
    assert run(capsys, "check", *good)[0] == 0
    # Read as plain, a comment is atoms and parentheses; a file named is read whatever its name.
    status, out, _ = run(capsys, "check", "--syntax", "plain", str(folder / "notes.md"), str(folder))
    assert f"{folder / 'ok.smt2'}:2:13: stray closing parenthesis" in out
    assert out.startswith(f"{folder / 'notes.md'}:1:1: unclosed parenthesis\n")
    assert out.count("notes.md") == 1
    assert status == 1


def test_a_failing_worker_stops_the_check(capsys, folder, monkeypatch):
    def broken(task):
        raise MemoryError

    monkeypatch.setattr(cli, "check_one", broken)  # the forked workers run it too
    with pytest.raises(RuntimeError, match="a worker process failed:(.|\n)*MemoryError"):
        cli.main(["check", "-j", "2", str(folder)])


def test_unreadable_files_are_bad_files(capsys, tmp_path):
    status, out, _ = run(capsys, "check", str(tmp_path / "gone.sexp"))
    assert out.splitlines()[0] == f"{tmp_path / 'gone.sexp'}: cannot read: No such file or directory"
    assert status == 1


@pytest.mark.parametrize("argv", [
    ["check"], ["check", "--syntax", "json", "x"], ["check", "-j", "0", "x"], ["lint", "x"],
    ["find", "pad", "x.kicad_pcb"], ["find", "pad", "--"], ["fmt", "--indent", "-1", "x"],
    ["fmt", "-i", "-"],
])
def test_usage_errors_exit_2(capsys, argv):
    with pytest.raises(SystemExit) as e:
        cli.main(argv)
    assert e.value.code == 2
    assert "usage: sexp" in capsys.readouterr().err


def test_fmt_writes_each_form_indented(capsys, folder):
    status, out, err = run(capsys, "fmt", "--indent", "tab", str(folder / "ok.kicad_sym"), str(folder / "ok.smt2"))
    assert out == ('(kicad_symbol_lib\n\t(symbol "R"\n\t\t(pin "~"\n\t\t\t(at 0 0))))\n'
                   "(set-logic QF_BV)\n(check-sat)\n")
    assert err == f"{folder / 'ok.smt2'}: note: its comments are not in the output\n"
    assert status == 0


def test_fmt_in_place_replaces_whole_files_or_leaves_them(capsys, folder):
    path = folder / "ok.kicad_sym"
    os.chmod(path, 0o640)
    before = {p.name: p.read_bytes() for p in folder.iterdir() if p.is_file()}
    status, _, err = run(capsys, "fmt", "-i", "--indent", "1", str(folder))
    assert path.read_bytes() == b'(kicad_symbol_lib\n (symbol "R"\n  (pin "~"\n   (at 0 0))))\n'
    assert os.stat(path).st_mode & 0o777 == 0o640
    # Bad files, and a script whose comments formatting would drop, are left as they were.
    assert f"{folder / 'ok.smt2'}: holds comments, which formatting would drop; left as it is" in err
    for name, data in before.items():
        if name != path.name:
            assert (folder / name).read_bytes() == data, name
    assert sorted(p.name for p in folder.iterdir()) == sorted([*before, ".git"])
    assert status == 1


def test_fmt_in_place_interrupted_leaves_the_file_and_no_trace(capsys, folder, monkeypatch):
    path = folder / "ok.kicad_sym"
    before = path.read_bytes()

    def fail(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", fail)
    status, _, err = run(capsys, "fmt", "-i", str(path))
    assert err == f"{path}: cannot write: No space left on device\n"
    assert path.read_bytes() == before
    assert not [p for p in folder.iterdir() if p.name.startswith(".ok.kicad_sym")]
    assert status == 1


def test_find_prints_each_match_after_its_file(capsys, folder):
    pcb = folder / "pcb.kicad_pcb"
    pcb.write_text("(kicad_pcb (footprint R1 (pad 1 (at 0 0)) (pad 2)) (footprint C1 (pad 1)) (* x))")
    status, out, _ = run(capsys, "find", "footprint", "pad", "--", str(pcb), str(folder / "sat.smt2"))
    assert out.splitlines() == [f"{pcb}: (pad 1 (at 0 0))", f"{pcb}: (pad 2)", f"{pcb}: (pad 1)"]
    assert status == 1  # the script does not parse
    assert run(capsys, "find", "*", "*", "at", "--", str(pcb))[1] == f"{pcb}: (at 0 0)\n"
    assert run(capsys, "find", "\\*", "--", str(pcb))[1] == f"{pcb}: (* x)\n"


def test_json_prints_a_line_per_form(capsys, folder):
    status, out, _ = run(capsys, "json", str(folder / "ok.smt2"), str(folder / "data.net"),
                         str(folder / "ok.kicad_sym"))
    assert [json.loads(line) for line in out.splitlines()] == [
        ["set-logic", "QF_BV"], ["check-sat"], _sexp.loads((folder / "ok.kicad_sym").read_bytes(), syntax="kicad")]
    assert status == 1


def test_the_package_is_the_module_with_a_guide():
    assert sexp.__all__ == _sexp.__all__ and sexp.__version__ == _sexp.__version__
    assert all(getattr(sexp, name) is getattr(_sexp, name) for name in _sexp.__all__)
    assert _sexp.__doc__ == "" and len(sexp.__doc__.splitlines()) > 50
    assert doctest.testmod(sexp, optionflags=doctest.ELLIPSIS).failed == 0


def test_python_dash_m_runs_the_command(folder):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-m", "sexp", "check", str(folder / "dune")],
                          capture_output=True, text=True, env=env)
    assert done.stdout.startswith(f"{folder / 'dune'}:3:2: unclosed parenthesis\n")
    assert done.returncode == 1
