import pathlib

import pytest


def unknown_keyword(fname, key):
    """The interpreter's own words for a keyword that names no parameter of `fname` (they
    changed in 3.13), as a builtin that binds its arguments the same way says them."""
    try:
        "".encode(**{key: None})
    except TypeError as e:
        return str(e).replace("encode()", f"{fname}()")
    raise AssertionError("str.encode() took an unknown keyword")


# shared/ sits beside the repository checkout.
CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"


def pytest_generate_tests(metafunc):
    # One case per sample file; a single skipped case where the corpus is absent.
    if "corpus_file" in metafunc.fixturenames:
        files = sorted(p for p in CORPUS.glob("*/*") if p.parent.name != "LICENSES")
        params = files or [pytest.param(None, marks=pytest.mark.skip(reason="no corpus"))]
        metafunc.parametrize("corpus_file", params, ids=lambda p: p and p.name)
