#!/usr/bin/env python3
"""Many files and plain data: loads, dumps of data, error_position, `sexp check`, the census.

    PY=$(tools/python.sh --with-bench)
    $PY bench/python/bench_files.py --module-dir BUILD/python [--reps 5] [--copies 10]
        [--only loads,dumps,position,check,census] [--work-dir DIR]
        [--census-python VENV/bin/python] [--quick]

  loads     loads() against orjson.loads of the same tree as JSON nested lists, and against
            parse() then tolist(), on generated trees of 10^4, 10^5 and 10^6 nodes and on
            every corpus file (plain grammar), summed; CPU time, interleaved samples with the
            garbage collector off, medians (bench_surface.py's measure)
  dumps     dumps() of nested lists against orjson.dumps of the same lists (as orjson.loads
            made them); files that nest deeper than orjson writes (255) are left out of both
  position  error_position() against the failing parse() it explains, on 1 MB texts broken
            in each way (the error at the end, where it costs most)
  check     `sexp check -j 2` against `-j 1`, and `-j 1` against one process calling
            iterparse() on every file, over --copies copies of the corpus written to a
            temporary folder (or --work-dir; removed afterwards); wall time of each command
            in a fresh interpreter, medians of --reps runs taken in turn, the files read once
            before (page cache warm), plain grammar (the corpus's) and each file's own syntax
  census    examples/census.py on two local Dask workers against its own serial count in the
            same process (--check prints both), over the same copies; needs an interpreter
            with dask[distributed] (--census-python, default the venv tools/ci-census.sh
            keeps in the cache)
"""

import argparse
import json
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_surface import make_board_text, measure  # noqa: E402

CACHE = pathlib.Path(os.environ.get("SEXP_CACHE") or
                     pathlib.Path(os.environ.get("XDG_CACHE_HOME") or "~/.cache").expanduser() / "sexp")


def corpus_files(root, quick):
    files = sorted(p for p in root.glob("*/*") if p.parent.name != "LICENSES")
    return [p for p in files if not quick or p.stat().st_size < 200_000]


def inputs(root, quick):
    """(name, text bytes) of the generated trees and the corpus files."""
    sizes = [10_000] if quick else [10_000, 100_000, 1_000_000]
    out = [(f"{n:.0e} nodes".replace("e+0", "e"), make_board_text(n).encode()) for n in sizes]
    return out + [(f"{p.parent.name}/{p.name}", p.read_bytes()) for p in corpus_files(root, quick)]


def summed(title, rows, reps, target):
    """rows: [(name, {peer: (fn, arg), ours: (fn, arg)})], ours last; prints the summed and
    worst ratio of peer time to our time (medians)."""
    sums, worst, gen = {}, None, {}
    for name, entries in rows:
        res = measure(dict(entries), reps, False)
        peer, ours = list(entries)
        if len(res) < 2:
            continue
        for lib in (peer, ours):
            sums[lib] = sums.get(lib, 0) + res[lib][1]
        ratio = res[peer][1] / res[ours][1]
        if "nodes" in name:
            gen[name] = ratio
        if worst is None or ratio < worst[0]:
            worst = (ratio, name)
    peer, ours = list(rows[0][1])
    print(f"| {title} | {' / '.join(f'{r:.2f}' for r in gen.values())} | "
          f"{sums[peer] / sums[ours]:.2f} | {worst[0]:.2f} (`{worst[1]}`) | "
          f"{sums[ours] / 1e6:.1f} / {sums[peer] / 1e6:.1f} | {target} |")


def run_data(args, sx, orjson):
    texts = inputs(pathlib.Path(args.corpus_dir), args.quick)
    print("| case | generated 10^4 / 10^5 / 10^6 | sum (generated + corpus) | worst | ms ours / peer "
          "| target |")
    print("|---|--:|--:|---|--:|---|")
    if "loads" in args.only:
        rows, rows_pt = [], []
        for name, text in texts:
            data = sx.loads(text)
            assert data == sx.parse(text).tolist()
            js = json.dumps(data, separators=(",", ":")).encode()
            assert orjson.loads(js) == data
            rows.append((name, {"orjson.loads": (orjson.loads, js), "loads": (sx.loads, text)}))
            rows_pt.append((name, {"parse+tolist": (lambda t: sx.parse(t).tolist(), text),
                                   "loads": (sx.loads, text)}))
        summed("`loads` / `orjson.loads` of the JSON", rows, args.reps, ">= 1.3")
        summed("`loads` / `parse` + `tolist()`", rows_pt, args.reps, ">= 1.5")
    if "dumps" in args.only:
        rows = []
        for name, text in texts:
            data = orjson.loads(json.dumps(sx.loads(text)))  # objects as a user's code has them
            try:
                orjson.dumps(data)
            except (TypeError, orjson.JSONEncodeError):
                print(f"note: orjson cannot write {name}", file=sys.stderr)
                continue
            assert sx.dumps(data) == str(sx.parse(text))
            rows.append((name, {"orjson.dumps": (orjson.dumps, data), "dumps": (sx.dumps, data)}))
        summed("`dumps` of nested lists / `orjson.dumps`", rows, args.reps, ">= 1")


def broken_texts(root, quick):
    """About 1 MB of real text, broken in each way at its end."""
    size = 100_000 if quick else 1 << 20
    kicad = b"".join(p.read_bytes() for p in sorted((root / "kicad").glob("*")))[: size - 2]
    plain = b"(" + kicad.replace(b"(", b" ").replace(b")", b" ") + b")"  # one flat list
    body = b"(" + kicad
    return [
        ("unclosed parenthesis", "plain", plain[:-1]),
        ("stray closing parenthesis", "plain", plain + b")"),
        ("multiple top-level forms", "plain", plain + b" x"),
        ("input is not valid UTF-8", "plain", plain[:-1] + b"\xff)"),
        ("unterminated string", "kicad", body[: body.rfind(b'"')]),
        ("deeply unclosed (kicad file cut short)", "kicad", body),
    ]


def run_position(args, sx):
    print("\n| error_position on a failing 1 MB text | bytes | parse ms | error_position ms | "
          "ratio | target |")
    print("|---|--:|--:|--:|--:|---|")
    for what, syntax, text in broken_texts(pathlib.Path(args.corpus_dir), args.quick):
        def failing_parse(t, s=syntax):
            try:
                sx.parse(t, syntax=s)
            except sx.ParseError:
                return None
            raise AssertionError("the text parses")

        assert sx.error_position(text, syntax=syntax) is not None
        res = measure({"parse": (failing_parse, text),
                       "error_position": (lambda t, s=syntax: sx.error_position(t, syntax=s), text)},
                      args.reps, False)
        p, e = res["parse"][1], res["error_position"][1]
        print(f"| {what} | {len(text)} | {p / 1e6:.2f} | {e / 1e6:.2f} | {e / p:.2f} | <= 3 |")


def make_copies(root, work, copies):
    """`copies` copies of the corpus's files under work/copyN/..., each written anew."""
    files = corpus_files(root, False)
    for k in range(copies):
        for p in files:
            dest = work / f"copy{k}" / p.parent.name / p.name
            dest.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(p, dest)
    return sum(p.stat().st_size for p in files) * copies


ITERPARSE_LOOP = r"""
import sys
from sexp import iterparse
from sexp.cli import files_under, syntax_of
syntax = sys.argv[2] or None
for path in files_under([sys.argv[1]]):
    with open(path, "rb") as f:
        try:
            for _ in iterparse(f, syntax=syntax or syntax_of(path) or "plain"):
                pass
        except ValueError:
            pass
"""


def wall(cmd, env):
    t0 = time.perf_counter()
    done = subprocess.run(cmd, env=env, capture_output=True, text=True)
    seconds = time.perf_counter() - t0
    if done.returncode not in (0, 1):
        raise RuntimeError(f"{cmd} failed: {done.stderr[-500:]}")
    return seconds, done.stdout


def run_check(args, work, env):
    py = sys.executable
    print(f"\n| `sexp check` over {args.copies} copies of the corpus | syntax | s, first (fastest "
          "/ median) | s, second | first / second | target |")
    print("|---|---|--:|--:|--:|---|")
    for syntax in ("plain", ""):
        opt = ["--syntax", syntax] if syntax else []
        cmds = {
            "iterparse loop": [py, "-c", ITERPARSE_LOOP, str(work), syntax],
            "-j 1": [py, "-m", "sexp", "check", "-j", "1", *opt, str(work)],
            "-j 2": [py, "-m", "sexp", "check", "-j", "2", *opt, str(work)],
        }
        for cmd in cmds.values():  # page cache and interpreter warm
            wall(cmd, env)
        times = {k: [] for k in cmds}
        for r in range(args.reps):
            for k in (list(cmds) if r % 2 == 0 else list(reversed(cmds))):
                times[k].append(wall(cmds[k], env)[0])
        name = syntax or "each file's own"
        # Two workers need two free cores: on a shared machine the fastest runs tell what the
        # code does, the medians what the machine gave.
        for a, b, target in (("-j 1", "-j 2", ">= 1.6"), ("iterparse loop", "-j 1", ">= 0.8")):
            lo = (min(times[a]), min(times[b]))
            med = (statistics.median(times[a]), statistics.median(times[b]))
            label = f"`{a}` / `{b}`" if a.startswith("-") else f"{a} / `{b}`"
            print(f"| {label} | {name} | {lo[0]:.2f} / {med[0]:.2f} | {lo[1]:.2f} / {med[1]:.2f} | "
                  f"{lo[0] / lo[1]:.2f} / {med[0] / med[1]:.2f} | {target} |")


def run_census(args, work, env):
    py = args.census_python or str(CACHE / "census-venv" / "bin" / "python")
    if not os.path.exists(py):
        print(f"note: no interpreter with dask at {py}: no census rows", file=sys.stderr)
        return
    script = HERE.parents[1] / "examples" / "census.py"
    cmd = [py, str(script), "--syntax", "plain", "--top", "0", "--check", str(work)]
    rows = []
    for _ in range(args.reps):
        _, out = wall(cmd, env)
        cluster = float(re.search(r"([\d.]+) s on 2 workers", out).group(1))
        serial = float(re.search(r"serial count: ([\d.]+) s", out).group(1))
        rows.append((serial, cluster))
    best = max(rows, key=lambda r: r[0] / r[1])
    serial = statistics.median(r[0] for r in rows)
    cluster = statistics.median(r[1] for r in rows)
    print(f"\n| census over {args.copies} copies, serial / two local workers | {serial:.2f} s | "
          f"{cluster:.2f} s | {serial / cluster:.2f} (best run {best[0] / best[1]:.2f}) | "
          ">= 1.5 |")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--module-dir", default=str(HERE.parents[1] / "build" / "python"))
    ap.add_argument("--corpus-dir", default=os.environ.get(
        "SEXP_CORPUS", str(HERE.parents[2] / "shared" / "corpus")))
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--copies", type=int, default=10)
    ap.add_argument("--work-dir", help="where the copies go (default: a temporary folder)")
    ap.add_argument("--census-python")
    ap.add_argument("--only", default="loads,dumps,position,check,census")
    ap.add_argument("--quick", action="store_true", help="small inputs, one repetition")
    args = ap.parse_args()
    if args.quick:
        args.reps, args.copies = 1, 1
    args.only = set(args.only.split(","))
    module_dir = os.path.abspath(args.module_dir)
    sys.path.insert(0, module_dir)
    import _sexp as sx
    import orjson

    if args.only & {"loads", "dumps"}:
        run_data(args, sx, orjson)
    if "position" in args.only:
        run_position(args, sx)
    if args.only & {"check", "census"}:
        work = pathlib.Path(tempfile.mkdtemp(prefix="sexp-copies-", dir=args.work_dir))
        env = dict(os.environ, PYTHONPATH=module_dir, PYTHONDONTWRITEBYTECODE="1")
        try:
            size = make_copies(pathlib.Path(args.corpus_dir), work, args.copies)
            print(f"\n{args.copies} copies of the corpus: {size} bytes under {work}")
            if "check" in args.only:
                run_check(args, work, env)
            if "census" in args.only:
                run_census(args, work, env)
        finally:
            shutil.rmtree(work)


if __name__ == "__main__":
    main()
