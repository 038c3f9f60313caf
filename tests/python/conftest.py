import pathlib

import pytest

# shared/ sits beside the repository checkout.
CORPUS = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "corpus"


def pytest_generate_tests(metafunc):
    # One case per sample file; a single skipped case where the corpus is absent.
    if "corpus_file" in metafunc.fixturenames:
        files = sorted(p for p in CORPUS.glob("*/*") if p.parent.name != "LICENSES")
        params = files or [pytest.param(None, marks=pytest.mark.skip(reason="no corpus"))]
        metafunc.parametrize("corpus_file", params, ids=lambda p: p and p.name)
