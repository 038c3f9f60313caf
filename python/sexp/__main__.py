"""python -m sexp: the sexp command."""

import sys

from sexp.cli import main

if __name__ == "__main__":
    sys.exit(main())
