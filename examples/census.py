"""Count the heads of every list in a folder of S-expression files, on a Dask cluster.

    python examples/census.py FOLDER [--syntax S] [--scheduler ADDRESS] [--workers N]
        [--top K] [--check]

Needs `dask[distributed]`. Each file is read on a worker into trees (one per form; the
syntax by the file's name, as the `sexp` command reads it, or --syntax for all), a second
task counts the heads of their lists (`(pad 1 ...)` counts one `pad`), and the counts are
summed. The trees stay in the workers' memory between the two tasks; where the scheduler
moves a task to another worker, or hands a result to this process, they travel by pickle.

Without --scheduler a local cluster of --workers processes (two by default) is started;
with it, the cluster at ADDRESS does the work, and its workers must see FOLDER at the same
path and have this module installed. Prints the K (default 20) most common heads and the
totals; --check then counts again in this process, one file after the other, and fetches
each file's trees from a worker, and fails unless all agree.
"""

import argparse
import collections
import logging
import os
import sys
import time

import sexp
from sexp.cli import SCRIPTS, files_under, syntax_of


def read_forms(path, syntax):
    """The trees of a file's forms, in the file's syntax unless one is given."""
    syntax = syntax or syntax_of(path) or "plain"
    with open(path, "rb") as f:
        if syntax in SCRIPTS:
            return list(sexp.iterparse(f, syntax=syntax))
        return [sexp.parse(f.read(), syntax=syntax)]


def count_heads(trees):
    """How many lists each atom heads, over every list of every tree."""
    counts = collections.Counter()
    for tree in trees:
        stack = [tree.tolist()]  # plain data: one call, then no handle per node
        while stack:
            item = stack.pop()
            if type(item) is list and item:
                if type(item[0]) is str:
                    counts[item[0]] += 1
                stack.extend(item)
    return counts


def total(counts):
    out = collections.Counter()
    for c in counts:
        out.update(c)
    return out


def census(client, paths, syntax):
    trees = client.map(read_forms, paths, syntax=syntax, pure=False)
    counts = client.map(count_heads, trees, pure=False)
    # Held by nobody once counted, each file's trees are let go at once, and the memory they
    # took serves the next file.
    del trees
    return client.submit(total, counts, pure=False).result()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("folder")
    ap.add_argument("--syntax", choices=["plain", "kicad", "smtlib", "wasm", "lisp"])
    ap.add_argument("--scheduler", metavar="ADDRESS", help="a running cluster's scheduler")
    ap.add_argument("--workers", type=int, default=2, help="local worker processes")
    ap.add_argument("--top", type=int, default=20)
    ap.add_argument("--check", action="store_true",
                    help="count in this process too, and compare")
    args = ap.parse_args(argv)
    paths = list(files_under([args.folder]))
    if not paths:
        ap.error(f"no files to read under {args.folder}")

    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, silence_logs=logging.ERROR)
        client = Client(cluster)
    try:
        workers = len(client.scheduler_info()["workers"])
        start = time.perf_counter()
        counts = census(client, paths, args.syntax)
        seconds = time.perf_counter() - start
        size = sum(os.path.getsize(p) for p in paths)
        for head, n in counts.most_common(args.top):
            print(f"{n:10d}  {head}")
        print(f"{sum(counts.values())} lists, {len(counts)} heads, {len(paths)} files, "
              f"{size} bytes, {seconds:.2f} s on {workers} workers")
        if args.check:
            return check(client, paths, args.syntax, counts, seconds)
        return 0
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def check(client, paths, syntax, counts, seconds):
    start = time.perf_counter()
    serial = total(count_heads(read_forms(p, syntax)) for p in paths)
    serial_seconds = time.perf_counter() - start
    print(f"serial count: {serial_seconds:.2f} s ({serial_seconds / seconds:.2f} times the "
          f"cluster's)")
    if serial != counts:
        print("census: the cluster's totals differ from the serial count", file=sys.stderr)
        return 1
    # The trees themselves, read on a worker and pickled over to this process, one file at a
    # time, equal those read here.
    for path in paths:
        if client.submit(read_forms, path, syntax, pure=False).result() != read_forms(path, syntax):
            print(f"census: the trees of {path} came back changed", file=sys.stderr)
            return 1
    print("checked: the totals and every file's trees agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
