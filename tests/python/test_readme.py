"""The README's Python examples run, in order and in one namespace, and print what they show.

Every ```python block is an interactive session (`>>>` lines and their output), checked with
doctest: a claimed result or exception that the module does not produce fails here.
"""

import doctest
import pathlib
import re

REPO = pathlib.Path(__file__).resolve().parents[2]
README = REPO / "README.md"
TEXT = README.read_text(encoding="utf-8")
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\s*$", re.M | re.S)


def blocks(language):
    for m in FENCE.finditer(TEXT):
        if m.group(1) == language:
            yield TEXT.count("\n", 0, m.start(2)), m.group(2)


def test_python_blocks_are_sessions_only():
    parser = doctest.DocTestParser()
    found = list(blocks("python"))
    assert len(found) >= 10
    for line, body in found:
        pieces = parser.parse(body, f"README.md:{line + 1}")
        # Text outside examples would be neither run nor checked.
        stray = [p for p in pieces if isinstance(p, str) and p.strip()]
        assert not stray, f"README.md:{line + 1}: lines outside the session: {stray}"
        assert any(isinstance(p, doctest.Example) for p in pieces)


def test_python_blocks_print_what_they_show(monkeypatch):
    monkeypatch.chdir(REPO)  # the examples name files under data/
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.DONT_ACCEPT_TRUE_FOR_1)
    globs = {"__name__": "readme"}
    report = []
    for line, body in blocks("python"):
        test = parser.get_doctest(body, globs, f"block at line {line + 1}", str(README), line)
        runner.run(test, out=report.append, clear_globs=False)
        globs = test.globs  # doctest runs on a copy; carry the names on to the next block
    summary = runner.summarize(verbose=False)
    assert summary.attempted > 50
    assert summary.failed == 0, "".join(report)


def test_shell_blocks_name_files_that_exist():
    named = set()
    for _, body in blocks("sh"):
        named |= set(re.findall(r"\b((?:tools|examples|data)/[\w.-]+)", body))
    assert named
    missing = sorted(p for p in named if not (REPO / p).exists())
    assert not missing

