#!/usr/bin/env python3
"""Reading and writing real files: the syntaxes, iterparse, dumps and dump, as ratios.

    PY=$(tools/python.sh --with-bench)
    $PY bench/python/bench_formats.py --module-dir BUILD/python [--baseline-module SO]
        [--reps 5] [--script-mb 500 --work-dir DIR] [--only plain,syntax,iterparse,memory,
        dumps,dump,sexpdata,layout,layout-memory] [--quick]

Every ratio compares two calls on the same input in one process, timed as bench_surface.py
times them (CPU time, interleaved samples, the garbage collector off; medians of --reps
samples), summed over files:

  plain      this build's parse, str() and a walk reading every value against another
             build's (--baseline-module: the _sexp extension file of the commit before), plain
             grammar, on the corpus
  syntax     parse(syntax=S) against parse() of the same bytes, S the file's own syntax, on
             the corpus and ../shared/formats (a script is wrapped in one pair of parentheses
             so that the plain parse reads it too; files the plain grammar cannot read are left
             out)
  iterparse  every form of iterparse over the open file (each dropped, or all kept) against
             parse() of the whole text in memory (a script wrapped), and on a generated script
  memory     peak resident memory of a fresh interpreter reading a generated script of
             --script-mb MB form by form, written to --work-dir (kept out of git)
  dumps      dumps(indent=2) and dumps(indent="\\t") against str()
  dump       dump() into a file against writing dumps().encode() into it
  sexpdata   sexpdata.parse (which reads strings and comments) against parse/iterparse with
             the file's syntax, on the files it reads
  layout     parse(keep_layout=True) against parse(), both in the file's syntax; str() against
             dumps() of the same unedited tree (read from a str, and from bytes), after 1% of
             its atoms got new values, and after 100 structural edits; iterparse(keep_layout=
             True) over the file against parse() of the whole text
  layout-memory  resident bytes a node takes more in a tree that keeps its layout, less the
             text it keeps, in a fresh interpreter per tree; and iterparse(keep_layout=True)
             over the generated script, as `memory` does
"""

import argparse
import importlib.machinery
import importlib.util
import os
import pathlib
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from bench_surface import measure  # noqa: E402  (the same interleaved, CPU-time samples)

SYNTAX_OF = {"kicad": "kicad", "edif": "kicad", "smtlib": "smtlib", "wasm": "wasm", "lisp": "lisp"}


def load_module_file(path):
    """An extension file loaded as a module of its own, beside the one on sys.path."""
    loader = importlib.machinery.ExtensionFileLoader("_sexp", str(path))
    spec = importlib.util.spec_from_file_location("_sexp", str(path), loader=loader)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


class File:
    def __init__(self, path, root, wrapped):
        self.path = path
        self.name = str(path.relative_to(root.parent))
        self.syntax = SYNTAX_OF[path.parent.name]
        self.data = path.read_bytes()
        # A corpus script was wrapped in one pair of parentheses, "(" before its first byte and
        # a line ")" after it; its own syntax reads the original (in wasm, "(" before a leading
        # ";;" comment would open a block comment).
        self.text = self.data[1:-2] if wrapped else self.data


def files_under(root, quick):
    if not root.is_dir():
        print(f"note: no files at {root}", file=sys.stderr)
        return []
    manifest = root / "MANIFEST.md"
    wrapped = set()
    if manifest.is_file():
        for line in manifest.read_text(encoding="utf-8").splitlines():
            if line.startswith("| `") and "wrapped in one outer pair" in line:
                wrapped.add(line.split("`")[1])
    out = []
    for p in sorted(root.glob("*/*")):
        if p.parent.name in SYNTAX_OF and (not quick or p.stat().st_size < 200_000):
            out.append(File(p, root, f"{p.parent.name}/{p.name}" in wrapped))
    return out


def whole_text(f, sx):
    """The file as one form: as it is, or a script wrapped in one pair of parentheses."""
    forms = sum(1 for _ in sx.iterparse(f.text, syntax=f.syntax))
    return f.text if forms == 1 else b"(\n" + f.text + b"\n)"


def consume(it):
    n = 0
    for _ in it:
        n += 1
    return n


def generated_script(mb):
    """An SMT-LIB script of about `mb` MB: declarations and assertions, comments, |...| names."""
    rng_state = [12345]

    def rnd(n):
        rng_state[0] = (rng_state[0] * 6364136223846793005 + 1442695040888963407) % (1 << 64)
        return (rng_state[0] >> 33) % n

    out, size, i = [b"(set-logic QF_LIA)\n; generated\n"], 0, 0
    while size < mb << 20:
        v = f"|v {i}|" if i % 7 == 0 else f"v{i}"
        piece = (f"(declare-fun {v} () Int)\n(assert (and (>= {v} {rnd(100)}) (<= (+ {v} "
                 f"{rnd(1000)}) {rnd(100000)}))) ; bound {i}\n").encode()
        out.append(piece)
        size += len(piece)
        i += 1
    out.append(b"(check-sat)\n")
    return b"".join(out)


def ratio_rows(title, pairs, reps, what, higher_is_better=False):
    """pairs: [(name, {lib: (fn, arg)})] with two libs, ours last; prints sums and worst."""
    sums, worst = {}, None
    for name, entries in pairs:
        libs = list(entries)
        res = measure(dict(entries), reps, False)
        if len(res) < 2:
            continue
        for lib in libs:
            sums[lib] = sums.get(lib, 0) + res[lib][1]
        r = res[libs[1]][1] / res[libs[0]][1]
        if worst is None or (r < worst[0] if higher_is_better else r > worst[0]):
            worst = (r, name)
    if not sums:
        return None
    libs = list(sums)
    total = sums[libs[1]] / sums[libs[0]]
    print(f"| {title} | {len(pairs)} | {sums[libs[0]] / 1e6:.2f} | {sums[libs[1]] / 1e6:.2f} | "
          f"{total:.3f} | {worst[0]:.3f} ({worst[1]}) | {what} |")
    return total


def edited(sx, f, share, structural):
    """A tree of `f` that keeps its layout, edited: `share` of its atoms (one in every 1/share,
    in text order) given a new value of the same length or so, or `structural` edits (removing
    a list, copying a list in with extend, moving a list to the end of its parent), spread
    over the tree."""
    t = sx.parse(f.text.decode(), syntax=f.syntax, keep_layout=True)
    if share:
        atoms = [n for n in t.iter() if n.is_atom]
        for n in atoms[:: max(1, int(1 / share))]:
            v = n.value
            n.value = (v[:-1] + ("0" if v[-1:] != "0" else "1")) if v[:1] not in "\"|" else v
    if structural:
        for k in range(structural):
            lists = [n for n in t.iter() if not n.is_atom and n.parent is not None and len(n)]
            if not lists:
                break
            n = lists[(k * 7919) % len(lists)]
            if k % 3 == 0:
                n.remove()
            elif k % 3 == 1:
                n.parent.extend([n])
            else:
                n.parent.append(n)
    return t


def layout_rows(sx, readable, reps):
    singles = [f for f in readable if sum(1 for _ in sx.iterparse(f.text, syntax=f.syntax)) == 1]
    ratio_rows("parse(keep_layout=True) / parse(), bytes, the file's syntax",
               [(f.name, {"parse": (lambda t, s=f.syntax: sx.parse(t, syntax=s), f.text),
                          "keep": (lambda t, s=f.syntax: sx.parse(t, syntax=s, keep_layout=True),
                                   f.text)}) for f in singles], reps, "at most 1.25")
    for kind in ("str", "bytes"):
        pairs = []
        for f in singles:
            t = sx.parse(f.text.decode() if kind == "str" else f.text, syntax=f.syntax,
                         keep_layout=True)
            pairs.append((f.name, {"dumps": (sx.dumps, t), "str": (str, t)}))
        ratio_rows(f"str() / dumps(), unedited, read from {kind}", pairs, reps, "at least 5",
                   True)
    for what, share, structural in (("1% of the atoms", 0.01, 0), ("100 structural edits", 0, 100)):
        pairs = []
        for f in singles:
            t = edited(sx, f, share, structural)
            pairs.append((f.name, {"dumps": (sx.dumps, t), "str": (str, t)}))
        ratio_rows(f"str() / dumps(), after {what}", pairs, reps, "at least 1", True)
    unwrapped = pathlib.Path(tempfile.mkdtemp(prefix="bench_formats."))
    pairs = []
    for f in readable:
        path = unwrapped / f.path.name
        path.write_bytes(f.text)

        def read(p, s=f.syntax):
            with open(p, "rb") as fh:
                return consume(sx.iterparse(fh, syntax=s, keep_layout=True))

        pairs.append((f.name, {"parse": (lambda t, s=f.syntax: sx.parse(t, syntax=s),
                                         whole_text(f, sx)),
                               "iterparse": (read, path)}))
    ratio_rows("iterparse(keep_layout=True) over the file / parse() of the text", pairs, reps,
               "at most 1.25 (0.8x throughput), no file above 2")


def layout_memory(args, readable):
    """Resident memory of a tree with and without its layout, in fresh interpreters."""
    child = (
        "import sys, gc\n"
        "import _sexp\n"
        "def rss():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmRSS:'):\n"
        "            return int(line.split()[1]) * 1024\n"
        "data = open(sys.argv[1], 'rb').read()\n"
        "gc.collect(); before = rss()\n"
        "t = _sexp.parse(data, syntax=sys.argv[2], keep_layout=sys.argv[3] == '1')\n"
        "gc.collect(); after = rss()\n"
        "print(after - before, sum(1 for _ in t.iter()))\n")
    env = dict(os.environ, PYTHONPATH=os.path.abspath(args.module_dir))
    import _sexp as sx
    big = sorted((f for f in readable if len(f.text) > 1_000_000 and
                  sum(1 for _ in sx.iterparse(f.text, syntax=f.syntax)) == 1),
                 key=lambda f: -len(f.text))
    print("\n| file | nodes | bytes a node, without | with the layout | more a node |")
    print("|---|--:|--:|--:|--:|")
    for f in big[:6]:
        with tempfile.NamedTemporaryFile(suffix=".txt") as tmp:
            tmp.write(f.text)
            tmp.flush()
            got = {}
            for keep in ("0", "1"):
                runs = [subprocess.run([sys.executable, "-c", child, tmp.name, f.syntax, keep],
                                       env=env, capture_output=True, text=True, check=True)
                        for _ in range(3)]
                got[keep] = min(tuple(map(int, r.stdout.split())) for r in runs)
        nodes = got["0"][1]
        print(f"| {f.name} | {nodes:,} | {got['0'][0] / nodes:.1f} | {got['1'][0] / nodes:.1f} | "
              f"{(got['1'][0] - got['0'][0]) / nodes:.1f} |")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--module-dir", default=str(HERE.parents[1] / "build" / "python"))
    ap.add_argument("--baseline-module", help="an _sexp extension file of another build")
    ap.add_argument("--corpus-dir", default=os.environ.get(
        "SEXP_CORPUS", str(HERE.parents[2] / "shared" / "corpus")))
    ap.add_argument("--formats-dir", default=str(HERE.parents[2] / "shared" / "formats"))
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--script-mb", type=int, default=500)
    ap.add_argument("--work-dir", help="where the generated script goes (default: a temporary one)")
    ap.add_argument("--only", default="plain,syntax,iterparse,memory,dumps,dump,sexpdata")
    ap.add_argument("--quick", action="store_true", help="small files, one repetition (smoke test)")
    args = ap.parse_args()
    if args.quick:
        args.reps, args.script_mb = 1, 2
    only = set(args.only.split(","))
    sys.path.insert(0, os.path.abspath(args.module_dir))
    import _sexp as sx

    corpus = files_under(pathlib.Path(args.corpus_dir), args.quick)
    formats = files_under(pathlib.Path(args.formats_dir), args.quick)
    # Corpus files were wrapped in parentheses, which in wasm turns a leading ";;" comment into
    # "(;;": only their plain reading and the other syntaxes count.
    readable = []
    for f in corpus + formats:
        try:
            consume(sx.iterparse(f.text, syntax=f.syntax))
            readable.append(f)
        except ValueError as e:
            print(f"note: {f.name} does not read as {f.syntax}: {e}", file=sys.stderr)

    print("| case | files | ms, first | ms, second | second / first (sum) | worst file | what |")
    print("|---|--:|--:|--:|--:|---|---|")
    if "plain" in only and args.baseline_module:
        base = load_module_file(args.baseline_module)
        for kind in ("str", "bytes"):
            pairs = [(f.name, {"before": (base.parse, f.data if kind == "bytes" else f.data.decode()),
                               "now": (sx.parse, f.data if kind == "bytes" else f.data.decode())})
                     for f in corpus]
            ratio_rows(f"plain parse, {kind}: now / before", pairs, args.reps, "at most 1.03")
        trees = [(f.name, base.parse(f.data), sx.parse(f.data)) for f in corpus]

        def walk(t):
            for n in t.iter():
                if n.is_atom:
                    n.value

        ratio_rows("str(): now / before", [(n, {"before": (str, b), "now": (str, t)})
                                           for n, b, t in trees], args.reps, "at most 1.03")
        ratio_rows("walk reading every value: now / before",
                   [(n, {"before": (walk, b), "now": (walk, t)}) for n, b, t in trees], args.reps,
                   "at most 1.03")

    if "syntax" in only:
        by_syntax = {}
        for f in readable:
            text = whole_text(f, sx)
            try:
                sx.parse(text)
            except ValueError:
                continue  # the plain grammar cannot read it (a parenthesis in a string)
            by_syntax.setdefault(f.syntax, []).append(
                (f.name, {"plain": (sx.parse, text),
                          f.syntax: (lambda t, s=f.syntax: sx.parse(t, syntax=s), text)}))
        for syntax, pairs in by_syntax.items():
            ratio_rows(f"parse: {syntax} / plain", pairs, args.reps, "at most 1.3")

    # Kept: the trees outlive the timing, as in every other case. Dropped: each tree is freed
    # as soon as it is read, the whole text's tree too (inside the timing on both sides).
    def parse_kept(t, s):
        return sx.parse(t, syntax=s)

    def parse_dropped(t, s):
        sx.parse(t, syntax=s)

    def iterparse_kept(p, s):
        with open(p, "rb") as f:
            return list(sx.iterparse(f, syntax=s))

    def iterparse_dropped(p, s):
        with open(p, "rb") as f:
            return consume(sx.iterparse(f, syntax=s))

    if "iterparse" in only:
        unwrapped = pathlib.Path(tempfile.mkdtemp(prefix="bench_formats."))
        for f in readable:
            if f.text is not f.data:  # the file as its own syntax reads it
                f.path = unwrapped / f.path.name
                f.path.write_bytes(f.text)
        for keep in (False, True):
            pairs = []
            for f in readable:
                text = whole_text(f, sx)
                whole, forms = (parse_kept, iterparse_kept) if keep else (parse_dropped, iterparse_dropped)
                pairs.append((f.name, {"parse": (lambda t, s=f.syntax, w=whole: w(t, s), text),
                                       "iterparse": (lambda p, s=f.syntax, r=forms: r(p, s), f.path)}))
            ratio_rows(f"iterparse over the file / parse of the text, trees "
                       f"{'kept' if keep else 'dropped'}", pairs, args.reps,
                       "at most 1.25 (0.8x throughput)")
        with tempfile.TemporaryDirectory(prefix="bench_formats.") as tmp:
            path = pathlib.Path(tmp) / "script.smt2"
            data = generated_script(8 if args.quick else 64)
            path.write_bytes(data)
            wrapped = b"(\n" + data + b"\n)"
            for keep in (False, True):
                whole, forms = (parse_kept, iterparse_kept) if keep else (parse_dropped, iterparse_dropped)
                ratio_rows(f"iterparse / parse, generated {len(data) >> 20} MB script, trees "
                           f"{'kept' if keep else 'dropped'}",
                           [("script", {"parse": (lambda t, w=whole: w(t, "smtlib"), wrapped),
                                        "iterparse": (lambda p, r=forms: r(p, "smtlib"), path)})],
                           args.reps, "at most 1.25")

    if "dumps" in only or "dump" in only:
        trees = [(f.name, sx.parse(whole_text(f, sx), syntax=f.syntax)) for f in readable]
    if "dumps" in only:
        for indent in (2, "\t"):
            pairs = [(name, {"str": (str, t), "dumps": (lambda t, i=indent: sx.dumps(t, indent=i), t)})
                     for name, t in trees]
            ratio_rows(f"dumps(indent={indent!r}) / str", pairs, args.reps, "at most 1.5")
    if "dump" in only:
        with tempfile.TemporaryFile() as out:
            def write_dumps(t, i):
                out.seek(0)
                out.write(sx.dumps(t, indent=i).encode())

            def dump(t, i):
                out.seek(0)
                sx.dump(t, out, indent=i)

            for indent in (None, "\t"):
                pairs = [(name, {"write(dumps().encode())": (lambda t, i=indent: write_dumps(t, i), t),
                                 "dump": (lambda t, i=indent: dump(t, i), t)}) for name, t in trees]
                ratio_rows(f"dump(indent={indent!r}) / write(dumps().encode())", pairs, args.reps,
                           "at most 1")

    if "sexpdata" in only:
        try:
            import sexpdata
        except ImportError:
            sexpdata = None
            print("note: no sexpdata (tools/python.sh --with-bench)", file=sys.stderr)
        if sexpdata is not None:
            pairs = []
            for f in readable:
                text = f.text.decode()
                try:
                    theirs = sexpdata.parse(text)
                except Exception as e:  # noqa: BLE001  (its grammar is not quite any of ours)
                    print(f"note: sexpdata cannot read {f.name}: {e!r:.80}", file=sys.stderr)
                    continue
                forms = list(sx.iterparse(f.text, syntax=f.syntax))
                if len(theirs) != len(forms):
                    print(f"note: sexpdata reads {len(theirs)} forms of {f.name}, not "
                          f"{len(forms)}", file=sys.stderr)
                    continue
                pairs.append((f.name, {"sexpdata": (sexpdata.parse, text),
                                       "_sexp": (lambda t, s=f.syntax: list(sx.iterparse(t, syntax=s)),
                                                 text)}))
            if pairs:
                ratio_rows("_sexp / sexpdata.parse", pairs, max(1, min(args.reps, 3)),
                           "at most 0.02 (50x)")

    if "layout" in only:
        layout_rows(sx, readable, args.reps)
    if "layout-memory" in only:
        layout_memory(args, readable)

    if "memory" in only:
        work = pathlib.Path(args.work_dir) if args.work_dir else pathlib.Path(tempfile.mkdtemp())
        work.mkdir(parents=True, exist_ok=True)
        path = work / f"script-{args.script_mb}mb.smt2"
        if not path.exists() or path.stat().st_size < args.script_mb << 20:
            path.write_bytes(generated_script(args.script_mb))
        memory_of_script(args, path, keep=False)

    if "layout-memory" in only:
        work = pathlib.Path(args.work_dir) if args.work_dir else pathlib.Path(tempfile.mkdtemp())
        work.mkdir(parents=True, exist_ok=True)
        path = work / f"script-{args.script_mb}mb.smt2"
        if not path.exists() or path.stat().st_size < args.script_mb << 20:
            path.write_bytes(generated_script(args.script_mb))
        memory_of_script(args, path, keep=True)


def memory_of_script(args, path, keep):
    """Peak resident memory of a fresh interpreter reading a script form by form."""
    # The peak of this process alone (ru_maxrss would count the parent's across exec).
    child = (
        "import sys, time\n"
        "import _sexp\n"
        "def hwm():\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith('VmHWM:'):\n"
        "            return int(line.split()[1])\n"
        "base = hwm()\n"
        "t0 = time.monotonic(); n = 0\n"
        "with open(sys.argv[1], 'rb') as f:\n"
        "    for form in _sexp.iterparse(f, syntax='smtlib', keep_layout=sys.argv[2] == '1'):\n"
        "        n += 1\n"
        "print(n, base, hwm(), time.monotonic() - t0)\n")
    env = dict(os.environ, PYTHONPATH=os.path.abspath(args.module_dir))
    out = subprocess.run([sys.executable, "-c", child, str(path), "1" if keep else "0"], env=env,
                         capture_output=True, text=True, check=True)
    n, base, peak, secs = out.stdout.split()
    size = path.stat().st_size
    print(f"\niterparse{'(keep_layout=True)' if keep else ''} over a generated "
          f"{size / 2**20:.0f} MB script ({int(n):,} forms, {float(secs):.1f} s, "
          f"{size / 2**20 / float(secs):.0f} MB/s): peak resident {int(peak) / 1024:.1f} MB, "
          f"{int(base) / 1024:.1f} MB before reading (+{(int(peak) - int(base)) / 1024:.1f} MB)")


if __name__ == "__main__":
    main()
